// SPDX-License-Identifier: GPL-3.0-or-later
// A second start of the program hands its files to the running one: two
// real processes of the built executable on the offscreen platform. Each
// process runs from a copy of the executable in a folder of its own, so its
// data files (Files.txt) live there. The running instance is watched through
// the report file that TRELVAN_TEST_REPORT asks the program to keep: whether
// its main window is visible, which modal window is open, and its list.

#include "shell/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

/// What a running program reports about itself.
struct Report
{
    bool visible = false;
    QString modal;
    QStringList list;
};

/// One process of the program, from its own program folder.
class Instance
{
public:
    /// socketPath is shared by the instances of one test and is theirs alone.
    explicit Instance(const QString &socketPath) : m_socketPath(socketPath)
    {
        EXPECT_TRUE(m_dir.isValid());
        m_exe = m_dir.filePath(QStringLiteral("trelvan"));
        EXPECT_TRUE(QFile::copy(QStringLiteral(TRELVAN_EXECUTABLE), m_exe));
        QFile::setPermissions(m_exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    }
    ~Instance()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString listFile() const { return path(QStringLiteral("Files.txt")); }
    QString reportFile() const { return path(QStringLiteral("report.txt")); }

    void start(const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("TRELVAN_INSTANCE_SOCKET"), m_socketPath);
        env.insert(QStringLiteral("TRELVAN_TEST_REPORT"), reportFile());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(m_dir.path());
        m_process.start(m_exe, arguments);
        ASSERT_TRUE(m_process.waitForStarted(10000));
    }

    Report report() const
    {
        Report r;
        const QStringList lines = QString::fromUtf8(readFile(reportFile())).split('\n');
        for (const QString &line : lines) {
            if (line == QStringLiteral("visible"))
                r.visible = true;
            else if (line.startsWith(QStringLiteral("modal ")))
                r.modal = line.mid(6);
            else if (line.startsWith(QStringLiteral("item ")))
                r.list << line.mid(5);
        }
        return r;
    }

    /// Waits until the report shows the window with exactly this list.
    bool waitForList(const QStringList &list, int timeoutMs = 20000) const
    {
        const bool ok = QTest::qWaitFor(
            [&] {
                const Report r = report();
                return r.visible && r.list == list;
            },
            timeoutMs);
        if (!ok)
            ADD_FAILURE() << "list was: " << report().list.join(" | ").toStdString();
        return ok;
    }

    /// Waits for the process to end; its exit code, or -1 when it crashed or
    /// went on running.
    int waitForExit(int timeoutMs = 20000)
    {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs))
            return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    /// Ends the process as a crash does: nothing of it cleans up.
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(10000);
    }

    bool running() const { return m_process.state() != QProcess::NotRunning; }

    /// Waits until the process has written `line` to stderr.
    bool waitForError(const QString &line)
    {
        return QTest::qWaitFor(
            [&] {
                m_process.waitForReadyRead(100);
                m_errors += QString::fromUtf8(m_process.readAllStandardError());
                return m_errors.split(u'\n').contains(line);
            },
            10000);
    }

private:
    QTemporaryDir m_dir;
    QString m_exe;
    QString m_socketPath;
    QProcess m_process;
    QString m_errors;
};

/// Identity of a file on disk, to tell a rewrite from no change.
ino_t inodeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

class HandOff : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_shared.isValid()); }

    QString socketPath() const { return m_shared.filePath(QStringLiteral("instance.socket")); }
    /// A file to hand over, outside both program folders.
    QString file(const QString &name) const
    {
        const QString path = m_shared.filePath(name);
        writeFile(path, "0123456789");
        return path;
    }

    QTemporaryDir m_shared;
};

TEST_F(HandOff, TwoFilesReachTheIdleFirstInstanceInOrderWhileItsDialogIsOpen)
{
    Instance first(socketPath());
    const QString listed = file("listed.txt");
    writeFile(first.listFile(), (listed + "\r\n").toUtf8());
    first.start({});
    ASSERT_TRUE(first.waitForList({listed}));
    // The start-up connection dialog is open: a modal loop runs.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !first.report().modal.isEmpty(); }, 10000));
    const QString modal = first.report().modal;

    const QString a = file("a.txt");
    const QString b = file(u"б файл.txt"_qs);
    Instance second(socketPath());
    second.start({a, b});

    EXPECT_EQ(second.waitForExit(), 0);
    EXPECT_FALSE(QFileInfo::exists(second.reportFile())) << "the second start showed a window";
    EXPECT_FALSE(QFileInfo::exists(second.listFile()));
    // The second process ended only after both were handled and saved.
    EXPECT_EQ(readFile(first.listFile()), (listed + "\r\n" + a + "\r\n" + b + "\r\n").toUtf8());
    EXPECT_TRUE(first.waitForList({listed, a, b}));
    EXPECT_EQ(first.report().modal, modal);
    EXPECT_TRUE(first.running());
}

TEST_F(HandOff, TheSameNameFromElsewhereChangesNothing)
{
    Instance first(socketPath());
    const QString listed = file("report.txt");
    const QByteArray listBytes = (listed + "\r\n").toUtf8();
    writeFile(first.listFile(), listBytes);
    first.start({});
    ASSERT_TRUE(first.waitForList({listed}));
    const ino_t before = inodeOf(first.listFile());

    // Both would overwrite the listed file on the server.
    Instance second(socketPath());
    second.start({file("a/report.txt"), file("b/report.txt")});

    EXPECT_EQ(second.waitForExit(), 0);
    EXPECT_FALSE(QFileInfo::exists(second.reportFile()));
    EXPECT_EQ(first.report().list, QStringList{listed});
    EXPECT_EQ(readFile(first.listFile()), listBytes);
    EXPECT_EQ(inodeOf(first.listFile()), before) << "Files.txt was rewritten";
}

TEST_F(HandOff, AStartWithoutFilesOpensNoSecondWindow)
{
    Instance first(socketPath());
    first.start({});
    ASSERT_TRUE(first.waitForList({}));

    const QString folder = m_shared.filePath("folder");
    QDir().mkpath(folder);
    for (const QStringList &arguments :
         {QStringList(), QStringList{m_shared.filePath("missing.txt"), folder}}) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        Instance second(socketPath());
        second.start(arguments);
        EXPECT_EQ(second.waitForExit(), 0);
        EXPECT_FALSE(QFileInfo::exists(second.reportFile())) << "the second start showed a window";
    }
    EXPECT_TRUE(first.running());
    EXPECT_TRUE(first.report().list.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(first.listFile()));
}

TEST_F(HandOff, WithoutARunningInstanceTheFilesAreListedButNotSaved)
{
    Instance only(socketPath());
    const QString a = file("a.txt");
    const QString b = file("b.txt");
    only.start({a, m_shared.filePath("missing.txt"), b});

    EXPECT_TRUE(only.waitForList({a, b}));
    EXPECT_FALSE(QFileInfo::exists(only.listFile()));
}

// --help and --version print and end, with no display to open; "--" ends
// the options, and an argument that is no file is named on stderr.
TEST_F(HandOff, CommandLineOptionsAndArgumentsThatAreNoFiles)
{
    Instance only(socketPath());
    const auto printed = [&](const QString &option, const QString &lang) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name :
             {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "LC_ALL", "LC_MESSAGES"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("LANG"), lang);
        p.setProcessEnvironment(env);
        p.start(only.path(QStringLiteral("trelvan")), {option});
        EXPECT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 0);
        return QString::fromUtf8(p.readAllStandardOutput());
    };
    EXPECT_TRUE(printed("--help", "ru_RU.UTF-8").startsWith(u"Использование: trelvan"));
    EXPECT_TRUE(printed("--help", "C").startsWith(u"Usage: trelvan"));
    EXPECT_TRUE(printed("--version", "C").startsWith(u"Trelvan 1."));

    writeFile(only.path(QStringLiteral("--help")), "a file of that name");
    only.start({QStringLiteral("missing.bin"), QStringLiteral("--"), QStringLiteral("--help")});
    EXPECT_TRUE(only.waitForList({only.path(QStringLiteral("--help"))}));
    EXPECT_TRUE(only.waitForError(QStringLiteral("Файл не найден: missing.bin")));
}

TEST_F(HandOff, APathOfManyCharactersArrivesWhole)
{
    Instance first(socketPath());
    first.start({});
    ASSERT_TRUE(first.waitForList({}));

    QString deep = m_shared.path();
    while (deep.size() < 600)
        deep += QLatin1Char('/') + QString(120, QChar(u'д'));
    const QString longPath = deep + QLatin1Char('/') + QString(200, QLatin1Char('f'));
    writeFile(longPath, "x");
    ASSERT_GT(longPath.size(), 255);

    Instance second(socketPath());
    second.start({longPath});

    EXPECT_EQ(second.waitForExit(), 0);
    EXPECT_EQ(readFile(first.listFile()), (longPath + "\r\n").toUtf8());
    EXPECT_TRUE(first.waitForList({longPath}));
}

TEST_F(HandOff, ASocketLeftByAKilledInstanceDoesNotStopTheNextStart)
{
    Instance crashed(socketPath());
    crashed.start({});
    ASSERT_TRUE(crashed.waitForList({}));
    crashed.kill();
    // Its socket is still there; nobody listens on it.
    ASSERT_TRUE(QFileInfo::exists(socketPath()));

    const QString a = file("a.txt");
    Instance first(socketPath());
    first.start({a});
    ASSERT_TRUE(first.waitForList({a}));
    EXPECT_FALSE(QFileInfo::exists(first.listFile()));

    // It took the receiver role in place of the dead one.
    const QString b = file("b.txt");
    Instance second(socketPath());
    second.start({b});
    EXPECT_EQ(second.waitForExit(), 0);
    EXPECT_EQ(readFile(first.listFile()), (a + "\r\n" + b + "\r\n").toUtf8());
    EXPECT_TRUE(first.waitForList({a, b}));
}

} // namespace
