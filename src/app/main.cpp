// Program start: the hand-off check, the six windows in their order, the
// post-creation step, then the message loop until the main window closes.

#include "folders/UFolders.h"
#include "shell/Resources.h"
#include "shell/UAbout.h"
#include "shell/UConnection.h"
#include "shell/UHelp.h"
#include "shell/UMainForm.h"
#include "state/AppPaths.h"
#include "upload/UConnLost.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTimer>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Trelvan"));
    QApplication::setApplicationVersion(QStringLiteral("1.3"));
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

    const QStringList files = QApplication::arguments().mid(1);

    // Hand-off check: when a running instance takes the files, this one ends.
    // if (!InstanceLink::handOff(files)) return 0;

    TfrmMainForm frmMainForm(TfrmMainForm::defaultFiles());
    TfrmConnection frmConnection(&frmMainForm);
    TfrmConnLost frmConnLost(&frmMainForm);
    TfrmAbout frmAbout(&frmMainForm);
    TfrmHelp frmHelp(AppPaths::helpFile());
    // The folder browser reads the connection dialog's fields, which always
    // agree with the main window's connection parameters.
    TfrmFolders frmFolders(
        &frmConnLost, [&frmConnection] { return frmConnection.fields(); },
        [&frmMainForm] { return frmMainForm.ftpOptions(); }, &frmMainForm);
    frmMainForm.setWindows({&frmConnection, &frmConnLost, &frmAbout, &frmHelp, &frmFolders});

    QObject::connect(&frmMainForm, &TfrmMainForm::closed, &app, &QCoreApplication::quit);
    // Inside the message loop, so that a close during the start-up dialogs
    // already finds the loop running.
    QTimer::singleShot(0, &frmMainForm, [&frmMainForm, &files] { frmMainForm.postCreate(files); });
    return QApplication::exec();
}
