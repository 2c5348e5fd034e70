// SPDX-License-Identifier: GPL-3.0-or-later
// Program start: the hand-off check, the six windows in their order, the
// post-creation step, then the message loop until the main window closes.

#include "app/CommandLine.h"
#ifdef TRELVAN_AUTOMATION
#include "app/RunGapReport.h"
#include "app/TestReport.h"
#include "app/Unattended.h"
#endif
#include "folders/UFolders.h"
#include "shell/Resources.h"
#include "shell/UAbout.h"
#include "shell/UConnection.h"
#include "shell/UHelp.h"
#include "shell/UMainForm.h"
#include "shell/WindowFonts.h"
#include "state/AppPaths.h"
#include "state/InstanceLink.h"
#include "upload/UConnLost.h"

#include <QApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <memory>

namespace {

/// A running instance that does not answer keeps its data files; the files
/// it did not take are named where the caller can see them.
void reportNotTaken(const QStringList &arguments)
{
    std::fputs("Trelvan уже запущен, но не отвечает. Не добавлены в его список:\n", stderr);
    for (const QString &argument : arguments) {
        if (QFileInfo(argument).isFile())
            std::fprintf(stderr, "%s\n", argument.toLocal8Bit().constData());
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // Help and version need no display: answered before the application
    // opens one.
    QStringList raw;
    for (int i = 1; i < argc; ++i)
        raw.append(QString::fromLocal8Bit(argv[i]));
    switch (CommandLine::parse(raw).action) {
    case CommandLine::Action::Help:
        std::fputs(CommandLine::helpText(CommandLine::russianLocale()).toLocal8Bit().constData(),
                   stdout);
        return 0;
    case CommandLine::Action::Version:
        std::fputs(CommandLine::versionText().toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::Action::Run:
        break;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Trelvan"));
    QApplication::setApplicationVersion(QStringLiteral(TRELVAN_VERSION));
    // Ties the window to trelvan.desktop, whose launcher entry shows a run's progress.
    QApplication::setDesktopFileName(QStringLiteral("trelvan"));
    Resources::ensureLoaded();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/trelvan.png")));
    // The main window's close ends the program, even while the help window
    // is still open; and not before a running upload has stopped.
    QApplication::setQuitOnLastWindowClosed(false);

    // Qt's own texts (Да/Нет, the file dialog) in Russian like the rest.
    QTranslator qtTranslator;
    if (qtTranslator.load(QStringLiteral("qtbase_ru"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslator);

    // Hand-off check: a running instance takes the files (or just comes
    // forward) and this one ends without a window, since two windows on the
    // same data files would continue the same remote file twice. Otherwise
    // this process keeps the files that were not taken, and receives the
    // files of later starts once its window exists.
    InstanceLink link(InstanceLink::socketPathFor(
        QString::fromLatin1(TfrmMainForm::staticMetaObject.className()), TfrmMainForm::Caption));
    // Qt has taken its own options out of the arguments by now.
    const QStringList arguments = CommandLine::parse(QApplication::arguments().mid(1)).files;
    for (const QString &argument : arguments) {
        const QFileInfo info(argument);
        if (!info.isFile())
            std::fprintf(stderr, "%s\n",
                         (info.exists() ? QStringLiteral("Не файл, не добавлен: %1")
                                        : QStringLiteral("Файл не найден: %1"))
                             .arg(argument)
                             .toLocal8Bit()
                             .constData());
    }
    switch (link.handOff(arguments)) {
    case InstanceLink::Outcome::HandedOver:
        return 0;
    case InstanceLink::Outcome::NotTaken:
        reportNotTaken(link.keptArguments());
        return 1;
    case InstanceLink::Outcome::StartHere:
        break;
    }
    const QStringList files = link.keptArguments();

    TfrmMainForm frmMainForm(TfrmMainForm::defaultFiles());
    TfrmConnection frmConnection(&frmMainForm);
    TfrmConnLost frmConnLost(&frmMainForm);
    TfrmAbout frmAbout(&frmMainForm);
    TfrmHelp frmHelp(AppPaths::helpFile());
    // The folder browser reads the connection dialog's fields, which always
    // agree with the main window's connection parameters; it tells the run,
    // through the main window's RemoteNames, which bytes name the folder chosen.
    TfrmFolders frmFolders(
        &frmConnLost, [&frmConnection] { return frmConnection.fields(); },
        [&frmMainForm] { return frmMainForm.ftpOptions(); }, &frmMainForm,
        &frmMainForm.remoteNames());
    // The prompt and the browser sit below the shell and know no fonts of
    // their own: they get the windows' font here, before they first show.
    frmConnLost.setFont(WindowFonts::sansSerif(11));
    frmFolders.setFont(WindowFonts::sansSerif(11));
    frmMainForm.setWindows({&frmConnection, &frmConnLost, &frmAbout, &frmHelp, &frmFolders});
    // Handled whenever the loop runs: idle, in a modal dialog, during a run.
    link.setHandler([&frmMainForm](const QString &path) { frmMainForm.handOffFile(path); });

#ifdef TRELVAN_AUTOMATION
    // For programs that start this one: unattended mode answers for the
    // main window, and the test report watches it.
    std::unique_ptr<UnattendedView> unattended;
    if (const UnattendedView::Mode mode = UnattendedView::modeFromEnvironment(); mode.enabled)
        unattended = std::make_unique<UnattendedView>(frmMainForm, mode);
    // A run started by a click reports its own longest gap.
    std::unique_ptr<RunGapReport> gapReport;
    if (qEnvironmentVariable("TRELVAN_RUN_REPORT") == u"1" &&
        !UnattendedView::modeFromEnvironment().autoRun)
        gapReport = std::make_unique<RunGapReport>(frmMainForm.uploadState());
    keepTestReport(&frmMainForm);
#endif

    QObject::connect(&frmMainForm, &TfrmMainForm::closed, &app, &QCoreApplication::quit);
    // Inside the message loop, so that a close during the start-up dialogs
    // already finds the loop running.
    QTimer::singleShot(0, &frmMainForm, [&] {
#ifdef TRELVAN_AUTOMATION
        if (unattended) {
            unattended->postCreate(files);
            return;
        }
#endif
        frmMainForm.postCreate(files);
    });
    return QApplication::exec();
}
