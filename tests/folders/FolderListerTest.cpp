// SPDX-License-Identifier: GPL-3.0-or-later
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

    Answer askContinue(const QString &, Countdown) override { return Cancel; }
    void setStatus(const QString &text) override { statuses << text; }
    void clearEntries() override { entries.clear(); }
    void addEntry(const std::string &rawName) override { entries.push_back(rawName); }
    void showPath(const QString &shown) override { path = shown; }
    void processEvents() override {}
    void pause(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

// A lister for the recorder, logging in to `server`.
std::unique_ptr<FolderLister> listerFor(RecordingView &view, const FtpTestServer &server)
{
    return std::make_unique<FolderLister>(
        view,
        [&server] {
            return ConnectionParams{QString::fromStdString(server.serverField()),
                                    QString::fromStdString(server.user()),
                                    QString::fromStdString(server.password())};
        },
        nullptr, nullptr);
}

} // namespace

TEST(FolderLister, EachStepShowsItsPhasesThenTheListing)
{
    const auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    ASSERT_TRUE(QDir(server->rootPath()).mkpath("pub/incoming"));

    RecordingView view;
    const auto lister = listerFor(view, *server);
    const QStringList phases{FolderLister::TextConnecting, FolderLister::TextAuthorizing,
                             FolderLister::TextRequesting, FolderLister::TextReady};

    ASSERT_TRUE(lister->step("pub"));
    EXPECT_EQ(view.statuses, phases);
    EXPECT_EQ(view.entries, (std::vector<std::string>{"..", "incoming"}));
    EXPECT_EQ(view.path, "/pub");

    view.statuses.clear();
    ASSERT_TRUE(lister->step(".."));
    EXPECT_EQ(view.statuses, phases);
    EXPECT_EQ(view.path, "/");
    EXPECT_EQ(std::count(view.entries.begin(), view.entries.end(), ".."), 0);
    EXPECT_EQ(std::count(view.entries.begin(), view.entries.end(), "pub"), 1);
}

// What each answer to MLSD leads to, on a server whose FEAT lists MLST. An
// outright refusal (5xx) is followed by LIST on the same login, read as a
// Unix listing (the blanks around a name go); a 4xx fails as a LIST would:
// tried again after new logins, then reported.
TEST(FolderLister, MlsdRefusedOutrightFallsBackToList)
{
    struct Case
    {
        std::string mlsdReply; ///< raw answer to MLSD; empty: the server's own
        std::vector<std::string> entries;
        std::vector<std::string> listings; ///< the MLSD and LIST lines, in order
        std::size_t logins;
    };
    const QString refused = "Сервер отверг команду MLSD: 425 No data connection now.";
    const std::vector<Case> cases = {
        {"", {" a  b ", "..", "incoming"}, {"MLSD"}, 1},
        {"500 Unknown command.\r\n", {"..", "a  b", "incoming"}, {"MLSD", "LIST"}, 1},
        {"550 Not here.\r\n", {"..", "a  b", "incoming"}, {"MLSD", "LIST"}, 1},
        {"425 No data connection now.\r\n", {}, std::vector<std::string>(4, "MLSD"), 4},
    };
    for (const Case &c : cases) {
        FtpServerOptions options;
        if (!c.mlsdReply.empty())
            options.badReplies = {{"MLSD", c.mlsdReply}};
        const auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd, options);
        ASSERT_TRUE(server) << FtpTestServer::lastError();
        ASSERT_TRUE(QDir(server->rootPath()).mkpath("pub/incoming"));
        ASSERT_TRUE(QDir(server->rootPath()).mkpath("pub/ a  b "));

        RecordingView view;
        EXPECT_EQ(listerFor(view, *server)->step("pub"), !c.entries.empty()) << c.mlsdReply;
        std::sort(view.entries.begin(), view.entries.end());
        EXPECT_EQ(view.entries, c.entries) << c.mlsdReply;
        EXPECT_EQ(view.statuses.last(), c.entries.empty()
                                            ? FolderLister::TextListFailed + ". " + refused
                                            : FolderLister::TextReady);

        std::vector<std::string> listings;
        std::size_t logins = 0;
        for (const std::string &line : server->commands()) {
            if (line == "MLSD" || line == "LIST")
                listings.push_back(line);
            logins += line.rfind("USER ", 0) == 0;
        }
        EXPECT_EQ(listings, c.listings) << c.mlsdReply;
        EXPECT_EQ(logins, c.logins) << c.mlsdReply;
    }
}
