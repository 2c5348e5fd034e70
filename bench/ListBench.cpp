// SPDX-License-Identifier: GPL-3.0-or-later
// Times the upload list and the main window with many files: adding 20,000
// files at once (the list model alone, dropping them on the list, choosing
// them in the file dialog), creating and showing the window over 20,000 rows,
// deleting every other row of 20,000, and a run's work in the window for
// each of 20,000 files (the network left out). Each case
// runs in a real TfrmMainForm on the platform Qt is given (offscreen in the
// benchmark), and the time includes the repaint that follows.
//
// Output, one line per case: "<case> files=N ms=T [more=...]".

#include "app/Unattended.h"
#include "shell/UMainForm.h"
#include "state/ListFile.h"
#include "state/UploadList.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

/// Data files of one window, in a folder of their own.
UploadFiles filesIn(const QString &dir)
{
    return UploadFiles{dir + "/Settings.ini", dir + "/Files.txt", dir + "/Upload.dat",
                       dir + "/Temp.dat"};
}

/// Lets the window lay out and paint what changed.
void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

double msSince(const QElapsedTimer &clock)
{
    return double(clock.nsecsElapsed()) / 1e6;
}

/// A shown main window with unattended mode's answers (Yes to the delete
/// question), over the given data folder.
struct ShownWindow
{
    std::unique_ptr<TfrmMainForm> window;
    std::unique_ptr<UnattendedView> answers; // goes first
    TfrmMainForm *operator->() const { return window.get(); }
};

ShownWindow openWindow(const QString &dataDir)
{
    ShownWindow shown;
    shown.window = std::make_unique<TfrmMainForm>(filesIn(dataDir));
    shown.answers =
        std::make_unique<UnattendedView>(*shown.window, UnattendedView::Mode{true, false, {}});
    shown.window->show();
    settle();
    return shown;
}

void report(const char *name, int files, double ms, const QString &more = {})
{
    std::printf("%s files=%d ms=%.1f%s%s\n", name, files, ms, more.isEmpty() ? "" : " ",
                qPrintable(more));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    int count = 20000;
    if (argc == 3 && QByteArray(argv[1]) == "--files")
        count = std::atoi(argv[2]);

    QTemporaryDir tmp;
    if (!tmp.isValid())
        return 1;
    // Real files: a drop and the file dialog take only files that exist.
    const QString fileDir = tmp.filePath("files");
    QDir().mkpath(fileDir);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = fileDir + QStringLiteral("/Report %1.dat").arg(i, 5, 10, QChar('0'));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        paths << path;
    }

    // The list model alone: 20,000 new paths, then the same names from
    // another folder, which the check of names must turn away.
    {
        UploadList list;
        QElapsedTimer clock;
        clock.start();
        const int added = list.addFiles(paths);
        report("list-add", count, msSince(clock), QStringLiteral("added=%1").arg(added));
        QStringList elsewhere;
        for (const QString &p : paths)
            elsewhere << tmp.filePath("elsewhere/") + QFileInfo(p).fileName();
        QList<UploadList::Clash> clashes;
        clock.restart();
        const int again = list.addFiles(elsewhere, &clashes);
        report("list-add-duplicates", count, msSince(clock), QStringLiteral("added=%1").arg(again));
    }

    // Dropped from a file manager onto the list of a shown window: the drag
    // enters (the list checks that it carries files), then the drop.
    {
        QDir().mkpath(tmp.filePath("drop"));
        auto window = openWindow(tmp.filePath("drop"));
        QWidget *viewport = window->findChild<QTreeView *>(QStringLiteral("lvFiles"))->viewport();
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString &p : paths)
            urls << QUrl::fromLocalFile(p);
        mime.setUrls(urls);
        const QPoint at(20, 20);
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        enter.ignore();
        QElapsedTimer clock;
        clock.start();
        QCoreApplication::sendEvent(viewport, &enter);
        const double enterMs = msSince(clock);
        QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        drop.ignore();
        clock.restart();
        QCoreApplication::sendEvent(viewport, &drop);
        settle();
        report("window-drop", count, msSince(clock),
               QStringLiteral("rows=%1 enter-ms=%2")
                   .arg(window->uploadList().count())
                   .arg(enterMs, 0, 'f', 1));
    }

    // Chosen in the file dialog: the folder opened, every file selected
    // (Ctrl+A in its list), then OK. "ms" counts from OK to the list shown;
    // the dialog's own work before OK is Qt's and is given apart.
    {
        QDir().mkpath(tmp.filePath("dialog"));
        auto window = openWindow(tmp.filePath("dialog"));
        auto *action = window->findChild<QAction *>(QStringLiteral("AAddFiles"));
        QElapsedTimer clock;
        qint64 okAt = -1;
        double selectedFilesMs = -1;
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            auto *model = dialog ? dialog->findChild<QFileSystemModel *>() : nullptr;
            auto *list = dialog ? dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"))
                                : nullptr;
            if (!model || !list) {
                if (dialog)
                    dialog->reject();
                return;
            }
            QEventLoop loaded;
            QObject::connect(model, &QFileSystemModel::directoryLoaded, &loaded,
                             [&](const QString &path) {
                                 if (QDir(path) == QDir(fileDir))
                                     loaded.quit();
                             });
            dialog->setDirectory(fileDir);
            QTimer::singleShot(60000, &loaded, &QEventLoop::quit);
            loaded.exec();
            list->selectAll();
            // A person looks at the selection before pressing OK; what the
            // dialog does about it by then is not the window's.
            QEventLoop look;
            QTimer::singleShot(500, &look, &QEventLoop::quit);
            look.exec();
            static_cast<QDialog *>(dialog)->accept(); // QFileDialog::accept checks the files
            okAt = clock.nsecsElapsed();
            // The window asks the dialog for its files once; how long Qt
            // takes to answer is part of "ms" and shown apart as well.
            QElapsedTimer answer;
            answer.start();
            dialog->selectedFiles();
            selectedFilesMs = msSince(answer);
            okAt = clock.nsecsElapsed();
        });
        clock.start();
        action->trigger();
        settle();
        const double total = msSince(clock);
        report("window-dialog", count, okAt < 0 ? -1.0 : total - double(okAt) / 1e6,
               QStringLiteral("rows=%1 qt-dialog-ms=%2 qt-selected-files-ms=%3")
                   .arg(window->uploadList().count())
                   .arg(okAt < 0 ? -1.0 : double(okAt) / 1e6, 0, 'f', 1)
                   .arg(selectedFilesMs, 0, 'f', 1));
    }

    // The window created over a Files.txt of 20,000 rows, shown and painted
    // (the executable's own start-up is timed by bench/run).
    {
        const QString dir = tmp.filePath("startup");
        QDir().mkpath(dir);
        if (!ListFile::write(dir + "/Files.txt", paths))
            return 1;
        QElapsedTimer clock;
        clock.start();
        auto window = openWindow(dir);
        report("window-create-show", count, msSince(clock),
               QStringLiteral("rows=%1").arg(window->uploadList().count()));
    }

    // What the upload run asks of the window for each of 20,000 files, in
    // its order and at its pace, the network left out: the row selected and
    // focused, its status set, the progress display refreshed, and the
    // window's events handled every 5 ms. The first and the last thousand
    // files must take the same time.
    {
        const QString dir = tmp.filePath("run");
        QDir().mkpath(dir);
        if (!ListFile::write(dir + "/Files.txt", paths))
            return 1;
        auto window = openWindow(dir);
        UploadView &view = *window.window;
        UploadList &list = window->uploadList();
        view.setBusy(true);
        QElapsedTimer clock;
        clock.start();
        qint64 nextServiceNs = 0;
        double firstMs = 0;
        double lastFrom = 0;
        const int rows = list.count();
        for (int row = 0; row < rows; ++row) {
            if (row == rows - 1000)
                lastFrom = msSince(clock);
            view.focusRow(row);
            UploadView::Progress p;
            p.percent = int(qint64(row + 1) * 100 / rows);
            p.sent = qint64(row + 1) * 4096;
            p.left = qint64(rows - row - 1) * 4096;
            p.filesLeft = rows - row;
            p.timeLeft = QStringLiteral("00:00:01");
            view.showProgress(p);
            list.setStatus(row, QStringLiteral("100%"));
            list.setDone(row, true);
            if (clock.nsecsElapsed() >= nextServiceNs) {
                view.processEvents();
                nextServiceNs = clock.nsecsElapsed() + 5'000'000;
            }
            if (row == 999)
                firstMs = msSince(clock);
        }
        const double total = msSince(clock);
        view.setBusy(false);
        report("window-run", rows, total,
               QStringLiteral("first-1000-ms=%1 last-1000-ms=%2")
                   .arg(firstMs, 0, 'f', 1)
                   .arg(total - lastFrom, 0, 'f', 1));
    }

    // Every other row of 20,000 selected, then "Удалить из списка" (the
    // automation answers the question Yes).
    {
        const QString dir = tmp.filePath("delete");
        QDir().mkpath(dir);
        if (!ListFile::write(dir + "/Files.txt", paths))
            return 1;
        auto window = openWindow(dir);
        auto *view = window->findChild<QTreeView *>(QStringLiteral("lvFiles"));
        const UploadList &list = window->uploadList();
        QItemSelection every2nd;
        for (int row = 0; row < list.count(); row += 2)
            every2nd.select(list.index(row, 0), list.index(row, UploadList::ColumnCount - 1));
        view->selectionModel()->select(every2nd, QItemSelectionModel::ClearAndSelect);
        settle();
        auto *action = window->findChild<QAction *>(QStringLiteral("ADelFiles"));
        QElapsedTimer clock;
        clock.start();
        action->trigger();
        settle();
        report("window-delete", int(every2nd.size()), msSince(clock),
               QStringLiteral("of=%1 rows-left=%2").arg(count).arg(list.count()));
    }
    return 0;
}
