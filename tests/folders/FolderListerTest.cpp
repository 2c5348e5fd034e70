// The folder browser's engine without a window: the phases a listing step
// shows in the status line, which the window tests only see the end of.

#include "folders/FolderLister.h"
#include "shell/QtPrinters.h"
#include "support/FtpTestServer.h"

#include <gtest/gtest.h>

#include <QDir>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// The browser window played by a recorder: no screen, no event loop.
struct RecordingView : BrowserView
{
    QStringList statuses;
    std::vector<std::string> entries;
    QString path;

    Answer askContinue(const QString &) override { return Cancel; }
    void setStatus(const QString &text) override { statuses << text; }
    void clearEntries() override { entries.clear(); }
    void addEntry(const std::string &rawName) override { entries.push_back(rawName); }
    void showPath(const QString &shown) override { path = shown; }
    void processEvents() override {}
    void pause(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

} // namespace

TEST(FolderLister, EachStepShowsItsPhasesThenTheListing)
{
    const auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    ASSERT_TRUE(QDir(server->rootPath()).mkpath("pub/incoming"));

    RecordingView view;
    FolderLister lister(
        view,
        [&server] {
            return ConnectionParams{QString::fromStdString(server->serverField()),
                                    QString::fromStdString(server->user()),
                                    QString::fromStdString(server->password())};
        },
        {}, nullptr);
    const QStringList phases{FolderLister::TextConnecting, FolderLister::TextAuthorizing,
                             FolderLister::TextRequesting, FolderLister::TextReady};

    ASSERT_TRUE(lister.step("pub"));
    EXPECT_EQ(view.statuses, phases);
    EXPECT_EQ(view.entries, (std::vector<std::string>{"..", "incoming"}));
    EXPECT_EQ(view.path, "/pub");

    view.statuses.clear();
    ASSERT_TRUE(lister.step(".."));
    EXPECT_EQ(view.statuses, phases);
    EXPECT_EQ(view.path, "/");
    EXPECT_EQ(std::count(view.entries.begin(), view.entries.end(), ".."), 0);
    EXPECT_EQ(std::count(view.entries.begin(), view.entries.end(), "pub"), 1);
}
