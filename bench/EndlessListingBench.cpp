// SPDX-License-Identifier: GPL-3.0-or-later
// The folder browser's memory on a listing that never ends: opens the real
// TfrmFolders (offscreen) on one server, lets its first listing step run to
// its end and prints how it ended. Meant to run under /usr/bin/time -v
// against tests/support/ftpserver.py --endless-list folders|files, whose
// "Maximum resident set size" is the figure:
//
//   /usr/bin/python3 tests/support/ftpserver.py --port 0 --root DIR --endless-list files
//   QT_QPA_PLATFORM=offscreen /usr/bin/time -v bench_endless_listing 127.0.0.1:PORT
//
// Output: "endless-listing ok=0|1 entries=N ms=T status=<status line>".

#include "folders/UFolders.h"
#include "upload/UConnLost.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_endless_listing SERVER [USER PASSWORD]\n");
        return 2;
    }
    const ConnectionParams params{QString::fromLocal8Bit(argv[1]),
                                  QString::fromLocal8Bit(argc > 2 ? argv[2] : "trelvan"),
                                  QString::fromLocal8Bit(argc > 3 ? argv[3] : "s3cret")};
    TfrmConnLost prompt;
    TfrmFolders dialog(
        &prompt, [&params] { return params; }, [] { return ftp::FtpService::Options{}; });
    bool ok = false;
    QObject::connect(&dialog, &TfrmFolders::listingFinished, &dialog, [&](bool finished) {
        ok = finished;
        dialog.reject();
    });
    QElapsedTimer clock;
    clock.start();
    // browse() returns at once; the dialog ends when the listing does.
    bool closed = false;
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, [&] {
        closed = true;
        loop.quit();
    });
    dialog.browse(QStringLiteral("/"));
    if (!closed)
        loop.exec();
    std::printf("endless-listing ok=%d entries=%d ms=%lld status=%s\n", ok ? 1 : 0,
                dialog.findChild<QTreeWidget *>(QStringLiteral("lvFolders"))->topLevelItemCount(),
                static_cast<long long>(clock.elapsed()),
                qPrintable(dialog.findChild<QLabel *>(QStringLiteral("lblStatus"))->text()));
    return 0;
}
