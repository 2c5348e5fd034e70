// SPDX-License-Identifier: GPL-3.0-or-later
// Keeps the benchmark from rotting: bench/run --smoke with the built program,
// a 10 MiB file and one upload by Trelvan and by curl to each of the five
// servers, in both modes (unattended offscreen, and clicked on a desktop with
// a screen reader listening). What counts here is that it runs, that every
// upload arrived byte for byte (the script compares them and fails otherwise)
// and that the table comes out; never the figures, which depend on the
// machine.

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

QString repositoryDir()
{
    return QFileInfo(QStringLiteral(TRELVAN_TEST_SUPPORT_DIR "/../..")).canonicalFilePath();
}

} // namespace

TEST(BenchSmoke, RunsUploadsIdenticalFilesAndPrintsTheTable)
{
    QTemporaryDir data;
    ASSERT_TRUE(data.isValid());
    QProcess bench;
    bench.setWorkingDirectory(repositoryDir());
    bench.start(QStringLiteral("bash"),
                {repositoryDir() + QStringLiteral("/bench/run"), QStringLiteral("--smoke"),
                 QStringLiteral("--no-deps"), QStringLiteral("--trelvan"),
                 QStringLiteral(TRELVAN_EXECUTABLE), QStringLiteral("--data-dir"), data.path()});
    ASSERT_TRUE(bench.waitForStarted());
    // Generous: a loaded machine is slow, and slowness is not what is tested.
    ASSERT_TRUE(bench.waitForFinished(400000));
    const QString out = QString::fromUtf8(bench.readAllStandardOutput());
    const QString err = QString::fromUtf8(bench.readAllStandardError());
    ASSERT_EQ(bench.exitStatus(), QProcess::NormalExit) << qPrintable(err);
    EXPECT_EQ(bench.exitCode(), 0) << qPrintable(out) << qPrintable(err);
    EXPECT_FALSE(err.contains(QStringLiteral("FAILED"))) << qPrintable(err);

    // One column per server that ran: pyftpdlib always, the standalone
    // servers as root.
    QStringList servers = {QStringLiteral("pyftpdlib")};
    if (::geteuid() == 0)
        servers = {QStringLiteral("vsftpd"), QStringLiteral("pyftpdlib"),
                   QStringLiteral("vsftpd-tls"), QStringLiteral("proftpd"),
                   QStringLiteral("pure-ftpd")};
    const QString header = QStringLiteral("| measure | ") + servers.join(QStringLiteral(" | ")) +
                           QStringLiteral(" | goal |");

    // A table for each mode: unattended offscreen, and clicked on a desktop
    // with a screen reader listening.
    const qsizetype display = out.indexOf(QStringLiteral("**Mode display**"));
    ASSERT_GT(display, 0) << qPrintable(out);
    ASSERT_TRUE(out.contains(QStringLiteral("**Mode offscreen**"))) << qPrintable(out);
    for (const QString &table : {out.left(display), out.mid(display)}) {
        EXPECT_TRUE(table.contains(header)) << qPrintable(table);
        // These rows have a number for every server: a "-" would mean that
        // no upload of that program was measured. (CPU ratios of a 10 MiB
        // upload may divide by a curl that used no measurable CPU at all.)
        const QString number = QStringLiteral(" [0-9]+(\\.[0-9]+)? \\|");
        QString cells;
        for (int i = 0; i < servers.size(); ++i)
            cells += number;
        for (const QString &row : {QStringLiteral("Trelvan MB/s"), QStringLiteral("curl MB/s"),
                                   QStringLiteral("\\*\\*throughput Trelvan / curl\\*\\*"),
                                   QStringLiteral("Trelvan peak RSS")}) {
            const QRegularExpression line(QStringLiteral("\\| ") + row +
                                          QStringLiteral("[^|]*\\|") + cells);
            EXPECT_TRUE(line.match(table).hasMatch()) << qPrintable(row) << "\n"
                                                      << qPrintable(table);
        }
        // The window's longest pause: median (worst) of the one upload.
        QString gapCells;
        for (int i = 0; i < servers.size(); ++i)
            gapCells += QStringLiteral(" [0-9.]+ \\([0-9.]+\\) \\|");
        const QRegularExpression gaps(QStringLiteral("\\| \\*\\*longest gap[^|]*\\|") + gapCells);
        EXPECT_TRUE(gaps.match(table).hasMatch()) << qPrintable(table);
        // The ratio within back-to-back pairs, with how many of them Trelvan
        // won: one pair per server in a smoke run.
        QString pairCells;
        for (int i = 0; i < servers.size(); ++i)
            pairCells += QStringLiteral(" [0-9]+\\.[0-9]+ \\([01] of 1\\) \\|");
        const QRegularExpression pairs(
            QStringLiteral("\\| the same within each back-to-back pair[^|]*\\|") + pairCells);
        EXPECT_TRUE(pairs.match(table).hasMatch()) << qPrintable(table);
    }
    // The start-up timings need only the executable, so they run here too.
    EXPECT_TRUE(out.contains(QStringLiteral("rows in Files.txt** to the window shown |")))
        << qPrintable(out);
}
