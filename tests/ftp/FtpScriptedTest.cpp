// SPDX-License-Identifier: GPL-3.0-or-later
// The client against a scripted in-process server: exact command transcripts,
// replies that real servers send only sometimes, and hostile input. Every
// failure must be quick and clear, never a hang or a crash.

#include "IdleProbe.h"
#include "ScriptedFtpServer.h"
#include "ftp/FtpClient.h"
#include "support/FtpTestClient.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace ftp;
using Strings = std::vector<std::string>;

namespace {

const char *const kFeatUtf8 = "211-Features:\r\n SIZE\r\n UTF8\r\n REST STREAM\r\n211 End";

// Short timeouts: a scripted failure must not cost the suite seconds.
constexpr int kQuickMs = 2000;

// Greeting, USER, PASS, FEAT (and OPTS when FEAT offers UTF8).
void login(ScriptedPeer &peer, const std::string &feat = kFeatUtf8)
{
    peer.send("220 Scripted server\r\n");
    peer.answer("331 Password required");
    peer.answer("230 Logged in");
    peer.answer(feat);
    if (feat.find("UTF8") != std::string::npos)
        peer.answer("200 Always in UTF8 mode.");
}

// A command read and never answered.
void neverAnswer(ScriptedPeer &peer)
{
    peer.readLine();
    peer.readLine(3000);
}

std::unique_ptr<FtpConnection> connectTo(FtpService &service, const ScriptedFtpServer &server,
                                         std::string *error = nullptr,
                                         const std::string &user = "bob",
                                         const std::string &password = "pw",
                                         Failure *failure = nullptr)
{
    return FtpConnection::connect(service, server.serverField(), user, password, error, failure);
}

// After the login: TYPE I, EPSV and an upload command answered with
// `opening`; the upload's bytes read to their end.
void receiveUpload(ScriptedPeer &peer, const std::string &opening)
{
    peer.answer("200 Type I");
    const int data = peer.answerEpsv();
    peer.answer(opening);
    ScriptedPeer::readAll(data);
    ::close(data);
}

class FtpScripted : public testing::Test
{
protected:
    /// Starts a server that logs the client in and then runs `script`, and
    /// logs in to it with `options`.
    bool start(ScriptedFtpServer::Script script,
               const FtpService::Options &options = testOptions(kQuickMs))
    {
        return startRaw(
            [script = std::move(script)](ScriptedPeer &peer) {
                login(peer);
                script(peer);
            },
            options);
    }

    /// The same with `script` doing the login too.
    bool startRaw(ScriptedFtpServer::Script script,
                  const FtpService::Options &options = testOptions(kQuickMs))
    {
        c.reset();
        service.reset();
        server.reset();
        server.emplace(std::move(script));
        service = FtpService::open(options);
        std::string error;
        c = connectTo(*service, *server, &error);
        EXPECT_TRUE(c) << error;
        return c != nullptr;
    }

    std::optional<ScriptedFtpServer> server;
    std::unique_ptr<FtpService> service;
    std::unique_ptr<FtpConnection> c;
};

} // namespace

TEST_F(FtpScripted, LoginTranscriptAndSize)
{
    ASSERT_TRUE(startRaw([](ScriptedPeer &peer) {
        peer.send("220-Welcome\r\n220-to the\r\n 220 not the end\r\n220 server\r\n");
        peer.answer("331 Password required");
        peer.answer("230 Logged in");
        peer.answer(kFeatUtf8);
        peer.answer("200 UTF8 on");
        peer.answer("200 Type set to I");
        peer.answer("213 5368709120");
        peer.readLine(); // QUIT
    }));
    EXPECT_TRUE(c->hasFeature("SIZE"));
    EXPECT_TRUE(c->hasFeature("rest stream"));
    EXPECT_FALSE(c->hasFeature("MLST"));
    EXPECT_EQ(c->remoteSize("/pub/big file.iso"), 5368709120LL);
    c.reset();
    ASSERT_TRUE(server->waitDone());
    EXPECT_EQ(server->transcript(), (Strings{"USER bob", "PASS pw", "FEAT", "OPTS UTF8 ON",
                                             "TYPE I", "SIZE /pub/big file.iso", "QUIT"}));
}

TEST_F(FtpScripted, LoginVariantsRealServersUse)
{
    // 120 before 220; 230 straight after USER; no FEAT; empty user.
    ScriptedFtpServer noPass([](ScriptedPeer &peer) {
        peer.send("120 Ready in a moment\r\n");
        peer.send("220 Ready\r\n");
        peer.answer("230 No password needed");
        peer.answer("500 FEAT not understood");
        peer.readLine();
    });
    auto service = FtpService::open(testOptions(kQuickMs));
    std::string error;
    auto c = connectTo(*service, noPass, &error, "", "");
    ASSERT_TRUE(c) << error;
    EXPECT_FALSE(c->hasFeature("UTF8"));
    c.reset();
    ASSERT_TRUE(noPass.waitDone());
    EXPECT_EQ(noPass.transcript(), (Strings{"USER anonymous", "FEAT", "QUIT"}));

    // OPTS UTF8 ON refused is not an error; FEAT without UTF8 sends no OPTS.
    for (const char *refusal : {"501 Unknown option", "504 Not implemented for that"}) {
        ScriptedFtpServer refused([refusal](ScriptedPeer &peer) {
            peer.send("220 Ready\r\n");
            peer.answer("331 Password");
            peer.answer("202 Already logged in");
            peer.answer("211-Features:\r\n UTF8\r\n211 End");
            peer.answer(refusal);
            peer.answer("250 CWD ok");
        });
        auto r = connectTo(*service, refused, &error);
        ASSERT_TRUE(r) << refusal << ": " << error;
        EXPECT_TRUE(r->command("CWD /pub"));
    }
    ScriptedFtpServer plain([](ScriptedPeer &peer) {
        peer.send("220 Ready\r\n");
        peer.answer("331 Password");
        peer.answer("230 ok");
        peer.answer("211-Features:\r\n SIZE\r\n211 End");
        peer.answer("250 ok");
    });
    auto p = connectTo(*service, plain, &error);
    ASSERT_TRUE(p) << error;
    EXPECT_TRUE(p->command("NOOP"));
    EXPECT_EQ(plain.transcript(), (Strings{"USER bob", "PASS pw", "FEAT", "NOOP"}));
}

TEST_F(FtpScripted, RefusedLoginSaysWhyWithoutThePassword)
{
    const std::string password = "Tr0ub4dor&3";
    // The server even echoes the password back; it must not reach our texts.
    ScriptedFtpServer server([password](ScriptedPeer &peer) {
        peer.send("220 Ready\r\n");
        peer.answer("331 Password");
        peer.answer("530 Login incorrect for password " + password);
    });
    auto service = FtpService::open(testOptions(kQuickMs));
    std::string error;
    Failure failure;
    auto c = connectTo(*service, server, &error, "bob", password, &failure);
    EXPECT_FALSE(c);
    EXPECT_NE(error.find("530"), std::string::npos) << error;
    EXPECT_EQ(error.find(password), std::string::npos) << error;
    // The reply as it came, but for the password.
    EXPECT_EQ(failure.kind, FailureKind::Login);
    EXPECT_EQ(failure.reply, "530 Login incorrect for password ***");

    ScriptedFtpServer busy([](ScriptedPeer &peer) { peer.send("421 Too many users\r\n"); });
    EXPECT_FALSE(connectTo(*service, busy, &error, "bob", "pw", &failure));
    EXPECT_NE(error.find("421"), std::string::npos) << error;
    EXPECT_EQ(failure.kind, FailureKind::Greeting);
    EXPECT_EQ(failure.reply, "421 Too many users");

    ScriptedFtpServer account([](ScriptedPeer &peer) {
        peer.send("220 Ready\r\n");
        peer.answer("331 Password");
        peer.answer("332 Need account");
    });
    EXPECT_FALSE(connectTo(*service, account, &error));
    EXPECT_NE(error.find("332"), std::string::npos) << error;

    // A password with a line break would smuggle in a command: refused unsent.
    ScriptedFtpServer smuggle([](ScriptedPeer &peer) {
        peer.send("220 Ready\r\n");
        peer.answer("331 Password");
        peer.answer("230 ok");
    });
    EXPECT_FALSE(connectTo(*service, smuggle, &error, "bob", "pw\r\nDELE /x", &failure));
    EXPECT_EQ(error.find("DELE"), std::string::npos) << error;
    EXPECT_EQ(failure.kind, FailureKind::LineBreak);
    smuggle.waitDone();
    for (const std::string &line : smuggle.transcript())
        EXPECT_EQ(line.find("DELE"), std::string::npos) << line;
}

TEST_F(FtpScripted, BadRepliesFailClearlyAndQuickly)
{
    struct Case
    {
        const char *name;
        std::function<void(ScriptedPeer &)> script;
    };
    const std::string longLine = "220 " + std::string(200 * 1024, 'x') + "\r\n";
    const std::vector<Case> cases = {
        {"garbage greeting", [](ScriptedPeer &p) { p.send("HELLO THERE\r\n"); }},
        {"code out of range", [](ScriptedPeer &p) { p.send("999 what\r\n"); }},
        {"over-long greeting line", [longLine](ScriptedPeer &p) { p.send(longLine); }},
        {"garbage after USER",
         [](ScriptedPeer &p) {
             p.send("220 Ready\r\n");
             p.answer("3x1 Password");
         }},
        {"endless multi-line FEAT",
         [](ScriptedPeer &p) {
             p.send("220 Ready\r\n");
             p.answer("331 Password");
             p.answer("230 ok");
             p.readLine();
             p.send("211-Features\r\n");
             std::string lines;
             for (int i = 0; i < 64; ++i)
                 lines += " " + std::string(1000, 'F') + "\r\n";
             for (int i = 0; i < 64 && !p.stopping(); ++i) // 4 MiB, past the cap
                 p.send(lines);
         }},
        {"endless reply trickled slowly",
         [](ScriptedPeer &p) {
             p.send("220-Welcome\r\n");
             for (int i = 0; i < 100 && !p.stopping(); ++i) {
                 p.send(" still welcoming\r\n");
                 p.readLine(30);
             }
         }},
        {"no greeting at all", [](ScriptedPeer &p) { p.readLine(3000); }},
        {"closed after greeting",
         [](ScriptedPeer &p) {
             p.send("220 Ready\r\n");
             p.closeControl();
         }},
        {"reset after USER",
         [](ScriptedPeer &p) {
             p.send("220 Ready\r\n");
             p.readLine();
             p.resetControl();
         }},
        {"closed mid-reply",
         [](ScriptedPeer &p) {
             p.send("220 Ready\r\n");
             p.answer("331 Password");
             p.readLine();
             p.send("230-Welcome\r\n230-more");
             p.closeControl();
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedFtpServer server(c.script);
        IdleProbe probe;
        auto options = watchedOptions(probe, kQuickMs, &Timeouts::replyMs, 500);
        auto service = FtpService::open(options);
        std::string error;
        probe.start();
        auto conn = connectTo(*service, server, &error);
        probe.stop();
        EXPECT_FALSE(conn);
        EXPECT_FALSE(error.empty());
        expectQuickAndIdle(probe, 1500, error);
    }
}

TEST_F(FtpScripted, StalledServerTimesOutWhileTheIdleHookRuns)
{
    IdleProbe probe;
    auto options = watchedOptions(probe, kQuickMs, &Timeouts::replyMs, 400);
    ASSERT_TRUE(start(neverAnswer, options));
    probe.start();
    EXPECT_FALSE(c->command("CWD /slow"));
    probe.stop();
    EXPECT_GE(probe.elapsedMs(), 390);
    expectQuickAndIdle(probe, 1500);
    EXPECT_GE(probe.calls(), 8);
    EXPECT_FALSE(c->isOpen()) << "a reply may still come; the dialogue is out of step";
    EXPECT_NE(c->lastError().find("no reply"), std::string::npos) << c->lastError();
    EXPECT_FALSE(c->command("NOOP"));
}

TEST_F(FtpScripted, ConnectToAFullBacklogTimesOut)
{
    const SilentListener silent;
    IdleProbe probe;
    auto options = watchedOptions(probe, kQuickMs, &Timeouts::connectMs, 500);
    auto service = FtpService::open(options);
    std::string error;
    probe.start();
    auto c = FtpConnection::connect(*service, "127.0.0.1:" + std::to_string(silent.port()), "u",
                                    "p", &error);
    probe.stop();
    EXPECT_FALSE(c);
    // Either the connect or the greeting wait times out; both are bounded.
    expectQuickAndIdle(probe, 2500, error);
    EXPECT_FALSE(error.empty());
}

TEST_F(FtpScripted, AWaitTheIdleHookStopsEndsAsStoppedAtOnce)
{
    // The hook says stop 200 ms into a wait: a connect never answered, a
    // reply and an upload's final reply that never come all end then, as
    // Stopped rather than at their 20 s timeouts, and the connection closes.
    using Clock = std::chrono::steady_clock;
    auto stopAt = std::make_shared<std::optional<Clock::time_point>>();
    const auto options =
        testOptions(20000, [stopAt] { return !*stopAt || Clock::now() < **stopAt; });
    auto stopSoon = [stopAt] {
        *stopAt = Clock::now() + std::chrono::milliseconds(200);
        return Clock::now();
    };

    const SilentListener silent;
    auto silentService = FtpService::open(options);
    Failure failure;
    auto began = stopSoon();
    EXPECT_FALSE(FtpConnection::connect(
        *silentService, "127.0.0.1:" + std::to_string(silent.port()), "u", "p", nullptr, &failure));
    EXPECT_LT(msSince(began), 1500);
    EXPECT_EQ(failure.kind, FailureKind::Stopped);

    stopAt->reset();
    ASSERT_TRUE(start(neverAnswer, options));
    began = stopSoon();
    EXPECT_FALSE(c->command("CWD /slow"));
    EXPECT_LT(msSince(began), 1500);
    EXPECT_EQ(c->lastFailure().kind, FailureKind::Stopped);
    EXPECT_FALSE(c->isOpen()) << "a reply may still come; the dialogue is out of step";

    stopAt->reset();
    ASSERT_TRUE(start(
        [](ScriptedPeer &peer) {
            receiveUpload(peer, "150 Go ahead"); // and no 226
            peer.readLine(3000);
        },
        options));
    auto upload = c->openTransfer("STOR /x", Direction::Upload);
    ASSERT_TRUE(upload);
    ASSERT_EQ(upload->write("abc", 3), 3);
    began = stopSoon();
    EXPECT_FALSE(upload->finish());
    EXPECT_LT(msSince(began), 1500);
    EXPECT_EQ(c->lastFailure().kind, FailureKind::Stopped);
    EXPECT_FALSE(c->isOpen());
}

TEST_F(FtpScripted, NameResolutionDoesNotBlockAndBadNamesFail)
{
    ScriptedFtpServer server([](ScriptedPeer &peer) {
        login(peer);
        peer.readLine();
    });
    IdleProbe probe;
    auto service = FtpService::open(testOptions(kQuickMs, probe.hook()));
    std::string error;
    probe.start();
    auto c = FtpConnection::connect(*service, "localhost:" + std::to_string(server.port()), "bob",
                                    "pw", &error);
    probe.stop();
    ASSERT_TRUE(c) << error;
    EXPECT_LE(probe.maxGapMs(), 50);
    EXPECT_FALSE(FtpConnection::connect(*service, "no-such-host.invalid:21", "u", "p", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(FtpConnection::connect(*service, "127.0.0.1:99999", "u", "p", &error));
    EXPECT_NE(error.find("server field"), std::string::npos) << error;
}

TEST_F(FtpScripted, PassiveListingTranscript)
{
    const std::string listing = "drwxr-xr-x 2 0 0 4096 Jan 01 2020 pub\r\n";
    ASSERT_TRUE(start([listing](ScriptedPeer &peer) {
        peer.answer("200 Type I");
        const int data = peer.answerEpsv();
        peer.answer("150 Here it comes");
        ScriptedPeer::sendAll(data, listing);
        ::close(data);
        peer.send("226-Transfer complete\r\n226 Bye for now\r\n");
        peer.answer("250 ok");
    }));
    auto t = c->openTransfer("LIST", Direction::Download);
    ASSERT_TRUE(t) << c->lastError();
    EXPECT_EQ(readAll(*t), listing);
    EXPECT_TRUE(t->finish());
    EXPECT_EQ(t->finalReplyCode(), 226);
    EXPECT_TRUE(t->finish()) << "a second call returns the first result";
    EXPECT_TRUE(c->command("CWD /pub"));
    EXPECT_EQ(server->transcript(), (Strings{"USER bob", "PASS pw", "FEAT", "OPTS UTF8 ON",
                                             "TYPE I", "EPSV", "LIST", "CWD /pub"}));
}

TEST_F(FtpScripted, ImmediateFinalReplyInsteadOf150)
{
    ASSERT_TRUE(start([](ScriptedPeer &peer) {
        peer.answer("200 Type I");
        const int data = peer.answerEpsv();
        ::close(data); // empty listing
        peer.answer("226 Nothing to list");
        peer.answer("250 ok");
    }));
    auto t = c->openTransfer("LIST", Direction::Download);
    ASSERT_TRUE(t) << c->lastError();
    EXPECT_EQ(readAll(*t), "");
    EXPECT_TRUE(t->finish());
    EXPECT_TRUE(c->command("NOOP")) << "the 226 must not be taken as NOOP's reply";
}

TEST_F(FtpScripted, PasvNamingAnotherHostStillConnectsToTheControlPeer)
{
    ASSERT_TRUE(start([](ScriptedPeer &peer) {
        peer.answer("200 Type I");
        peer.answer("502 No EPSV here");
        const uint16_t port = peer.listenData();
        // 127.0.0.2 is loopback too, but nothing listens there.
        peer.answer("227 Entering Passive Mode (127,0,0,2," + std::to_string(port / 256) + "," +
                    std::to_string(port % 256) + ")");
        const int data = peer.acceptData();
        peer.answer(data >= 0 ? "150 ok" : "425 no data connection");
        if (data >= 0) {
            ScriptedPeer::sendAll(data, "hello");
            ::close(data);
            peer.send("226 done\r\n");
        }
    }));
    auto t = c->openTransfer("LIST", Direction::Download);
    ASSERT_TRUE(t) << c->lastError();
    EXPECT_EQ(readAll(*t), "hello");
    EXPECT_TRUE(t->finish());
    EXPECT_EQ(server->transcript(), (Strings{"USER bob", "PASS pw", "FEAT", "OPTS UTF8 ON",
                                             "TYPE I", "EPSV", "PASV", "LIST"}));
}

TEST_F(FtpScripted, ActiveModeAcceptsOnlyTheControlPeer)
{
    auto options = testOptions(kQuickMs);
    options.passiveFirst = false;
    ASSERT_TRUE(start(
        [](ScriptedPeer &peer) {
            peer.answer("200 Type I");
            const std::string eprt = peer.answer("200 EPRT ok");
            const uint16_t port = ScriptedPeer::activePort(eprt);
            peer.readLine(); // RETR
            peer.send("150 Opening\r\n");
            // A third party on another address gets in first; it must be refused.
            const int intruder = peer.connectData(port, "127.0.0.2");
            if (intruder >= 0)
                ScriptedPeer::sendAll(intruder, "EVIL");
            const int data = peer.connectData(port);
            ScriptedPeer::sendAll(data, "GOOD");
            ::close(data);
            if (intruder >= 0)
                ::close(intruder);
            peer.send("226 done\r\n");
        },
        options));
    auto t = c->openTransfer("RETR /f", Direction::Download);
    ASSERT_TRUE(t) << c->lastError();
    EXPECT_EQ(readAll(*t), "GOOD");
    EXPECT_TRUE(t->finish());
    EXPECT_EQ(indexOfLine(server->transcript(), "EPRT |1|127.0.0.1|"), 5);
}

TEST_F(FtpScripted, ActiveDataConnectionThatNeverComesTimesOut)
{
    IdleProbe probe;
    auto options = watchedOptions(probe, kQuickMs, &Timeouts::dataMs, 400);
    options.passiveFirst = false;
    ASSERT_TRUE(start(
        [](ScriptedPeer &peer) {
            peer.answer("200 Type I");
            peer.answer("502 No EPRT");
            peer.answer("200 PORT ok");
            peer.answer("150 Opening");
            // The server's own connect attempt gives up later than the client.
            peer.readLine(700);
            peer.send("425 Cannot open data connection\r\n");
            peer.answer("250 ok");
        },
        options));
    probe.start();
    EXPECT_FALSE(c->openTransfer("STOR /f", Direction::Upload));
    probe.stop();
    expectQuickAndIdle(probe, 1500);
    EXPECT_TRUE(c->isOpen());
    // The 425 owed for the failed transfer is read before CWD's own reply.
    EXPECT_TRUE(c->command("CWD /"));
    EXPECT_EQ(indexOfLine(server->transcript(), "PORT 127,0,0,1,"), 6);
    EXPECT_EQ(indexOfLine(server->transcript(), "STOR /f"), 7);
}

TEST_F(FtpScripted, ActiveRefusalWhileWaitingForTheConnectionEndsTheWait)
{
    // The server gives up on connecting to us and says so: no need to sit
    // out the data timeout.
    auto options = testOptions(kQuickMs);
    options.passiveFirst = false;
    options.timeouts.dataMs = 3000;
    ASSERT_TRUE(start(
        [](ScriptedPeer &peer) {
            peer.answer("200 Type I");
            peer.answer("200 EPRT ok");
            peer.answer("150 Opening");
            peer.send("425 Cannot open data connection\r\n");
            peer.answer("250 ok");
        },
        options));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(c->openTransfer("LIST", Direction::Download));
    EXPECT_LT(msSince(started), 1000);
    EXPECT_EQ(c->lastReplyCode(), 425);
    EXPECT_TRUE(c->command("CWD /"));
}

TEST_F(FtpScripted, RestBeforeStorAndRefusedRest)
{
    ASSERT_TRUE(start([](ScriptedPeer &peer) {
        peer.answer("200 Type I");
        const int data = peer.answerEpsv();
        peer.answer("350 Restarting at 100");
        peer.answer("150 Go ahead");
        const std::string got = ScriptedPeer::readAll(data);
        ::close(data);
        peer.send(got == "tail" ? "226 ok\r\n" : "451 wrong bytes\r\n");
        const int data2 = peer.answerEpsv();
        peer.answer("502 REST not implemented");
        ::close(data2);
        peer.answer("250 still fine");
    }));
    auto t = c->openTransfer("STOR /f", Direction::Upload, 100);
    ASSERT_TRUE(t) << c->lastError();
    EXPECT_EQ(t->write("tail", 4), 4);
    EXPECT_TRUE(t->finish());
    EXPECT_FALSE(c->openTransfer("STOR /g", Direction::Upload, 7));
    EXPECT_EQ(c->lastReplyCode(), 502);
    EXPECT_TRUE(c->command("CWD /"));
    EXPECT_EQ(server->transcript(),
              (Strings{"USER bob", "PASS pw", "FEAT", "OPTS UTF8 ON", "TYPE I", "EPSV", "REST 100",
                       "STOR /f", "EPSV", "REST 7", "CWD /"}));
}

TEST_F(FtpScripted, BinaryTypeIsSetOncePerSessionUntilACommandMayChangeIt)
{
    // Each file costs a size check, a transfer and another size check; over a
    // slow link a TYPE I before each would add a round trip apiece.
    ASSERT_TRUE(start([](ScriptedPeer &peer) {
        peer.answer("504 Not now");
        peer.answer("200 Type I");
        peer.answer("213 5");
        peer.answer("213 6");
        const int data = peer.answerEpsv();
        peer.answer("150 Go ahead");
        ScriptedPeer::readAll(data);
        ::close(data);
        peer.send("226 ok\r\n");
        peer.answer("213 7");
        peer.answer("200 Type A");
        peer.answer("200 Type I");
        peer.answer("213 8");
        peer.answer("220 Reinitialized");
        peer.answer("200 Type I");
        peer.answer("213 9");
        peer.readLine(); // QUIT
    }));
    EXPECT_EQ(c->remoteSize("/f"), std::nullopt) << "binary refused: no SIZE asked";
    EXPECT_EQ(c->remoteSize("/f"), 5);
    EXPECT_EQ(c->remoteSize("/f"), 6);
    auto t = c->openTransfer("APPE /f", Direction::Upload);
    ASSERT_TRUE(t) << c->lastError();
    EXPECT_EQ(t->write("x", 1), 1);
    EXPECT_TRUE(t->finish());
    EXPECT_EQ(c->remoteSize("/f"), 7);
    EXPECT_TRUE(c->command("type a"));
    EXPECT_EQ(c->remoteSize("/f"), 8);
    EXPECT_TRUE(c->command("REIN"));
    EXPECT_EQ(c->remoteSize("/f"), 9);
    c.reset();
    ASSERT_TRUE(server->waitDone());
    const Strings transcript = server->transcript();
    ASSERT_GE(transcript.size(), 4u);
    EXPECT_EQ((Strings(transcript.begin() + 4, transcript.end())),
              (Strings{"TYPE I", "TYPE I", "SIZE /f", "SIZE /f", "EPSV", "APPE /f", "SIZE /f",
                       "type a", "TYPE I", "SIZE /f", "REIN", "TYPE I", "SIZE /f", "QUIT"}));
}

TEST_F(FtpScripted, SizeFromMlstOrTheFoldersListing)
{
    // SIZE unknown, MLST without the size fact: the folder's LIST, where only
    // the entry of exactly the file's name counts, and LIST only from then on.
    ASSERT_TRUE(startRaw([](ScriptedPeer &peer) {
        login(peer, "211-Features:\r\n SIZE\r\n MLST Type*;Modify*;Size;\r\n211 End");
        peer.answer("200 Type I");
        peer.answer("502 Not implemented");
        peer.answer("250-Listing\r\n Type=file;Modify=20240101000000; /pub/my file.bin\r\n250 End");
        const int data = peer.answerEpsv();
        peer.answer("150 Here it comes");
        ScriptedPeer::sendAll(data, "total 3\r\n"
                                    "-rw-r--r-- 1 ftp ftp 99 Jan 01 10:00 my file.bin.part\n"
                                    "-rw-r--r-- 1 ftp ftp 77 Jan 01 10:00  my file.bin\r\n"
                                    "-rw-r--r-- 1 ftp ftp 1234 Jan  1  2020 my file.bin");
        ::close(data);
        peer.send("226 Done\r\n");
        for (const char *refusal : {"550 No files found", "425 Cannot open data connection"}) {
            const int data = peer.answerEpsv();
            peer.answer(refusal);
            ::close(data);
        }
    }));
    EXPECT_EQ(c->remoteSize("/pub/my file.bin"), 1234);
    EXPECT_EQ(c->remoteSize("top.bin"), std::nullopt);
    EXPECT_EQ(c->lastSizeSource(), SizeSource::List) << "an absent file is an answer";
    EXPECT_EQ(c->remoteSize("/x"), std::nullopt);
    EXPECT_EQ(c->lastSizeSource(), SizeSource::None);
    EXPECT_FALSE(c->isOpen()) << "a listing that failed is no answer";
    ASSERT_TRUE(server->waitDone());
    EXPECT_EQ(
        server->transcript(),
        (Strings{"USER bob", "PASS pw", "FEAT", "TYPE I", "SIZE /pub/my file.bin",
                 "MLST /pub/my file.bin", "EPSV", "LIST /pub", "EPSV", "LIST", "EPSV", "LIST /"}));
}

TEST_F(FtpScripted, UploadVerdictComesFromTheFinalReply)
{
    for (const char *verdict : {"226 ok", "250 ok", "451 local error", "452 no space",
                                "552 quota exceeded", "226-multi\r\n226 line"}) {
        SCOPED_TRACE(verdict);
        ASSERT_TRUE(start([verdict](ScriptedPeer &peer) {
            receiveUpload(peer, "125 Data connection already open");
            peer.send(std::string(verdict) + "\r\n");
            peer.readLine();
        }));
        auto t = c->openTransfer("APPE /f", Direction::Upload);
        ASSERT_TRUE(t) << c->lastError();
        EXPECT_EQ(t->write("data", 4), 4);
        const bool good = verdict[0] == '2';
        EXPECT_EQ(t->finish(), good);
        EXPECT_EQ(t->finalReplyCode(), std::atoi(verdict));
        EXPECT_EQ(t->write("more", 4), -1) << "a finished transfer takes no more data";
    }
}

TEST_F(FtpScripted, MissingFinalReplyTimesOut)
{
    IdleProbe probe;
    auto options = watchedOptions(probe, kQuickMs, &Timeouts::finalReplyMs, 400);
    ASSERT_TRUE(start(
        [](ScriptedPeer &peer) {
            receiveUpload(peer, "150 Go");
            peer.readLine(3000); // silence
        },
        options));
    auto t = c->openTransfer("STOR /f", Direction::Upload);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->write("x", 1), 1);
    probe.start();
    EXPECT_FALSE(t->finish());
    probe.stop();
    EXPECT_GE(probe.elapsedMs(), 390);
    expectQuickAndIdle(probe, 1500);
    EXPECT_EQ(t->finalReplyCode(), 0);
}

TEST_F(FtpScripted, DroppedTransferReplyIsNotTakenForTheNextOne)
{
    ASSERT_TRUE(start([](ScriptedPeer &peer) {
        receiveUpload(peer, "150 Go");
        peer.send("226 Transfer complete\r\n");
        peer.answer("550 No such folder"); // the CWD
    }));
    auto t = c->openTransfer("STOR /f", Direction::Upload);
    ASSERT_TRUE(t);
    t->close();
    t->close();
    EXPECT_FALSE(c->command("CWD /missing"));
    EXPECT_EQ(c->lastReplyCode(), 550);
}

TEST_F(FtpScripted, TransferOutlivingItsConnectionFailsCleanly)
{
    ASSERT_TRUE(start([](ScriptedPeer &peer) {
        receiveUpload(peer, "150 Go");
        peer.readLine();
    }));
    auto t = c->openTransfer("STOR /f", Direction::Upload);
    ASSERT_TRUE(t);
    c.reset();
    service.reset();
    char block[4096] = {};
    EXPECT_EQ(t->write(block, sizeof block), -1);
    EXPECT_EQ(t->read(block, sizeof block), -1);
    EXPECT_FALSE(t->finish());
    t->close();
}

TEST_F(FtpScripted, CommandsCannotCarryLineBreaks)
{
    ASSERT_TRUE(start([](ScriptedPeer &peer) { peer.answer("250 ok"); }));
    EXPECT_FALSE(c->command("CWD /a\r\nDELE /b"));
    EXPECT_FALSE(c->openTransfer("APPE /a\nDELE /b", Direction::Upload));
    EXPECT_FALSE(c->remoteSize("/a\r\nDELE /b"));
    EXPECT_TRUE(c->isOpen());
    EXPECT_TRUE(c->command("CWD /a"));
    for (const std::string &line : server->transcript())
        EXPECT_EQ(line.find("DELE"), std::string::npos) << line;
}

TEST_F(FtpScripted, DigestCommandChosenOnceAndItsRepliesWeighed)
{
    const std::string sha1 = "f3bc6fd6a088bb8de850486d20cd60ebd1fce5c4";
    auto options = testOptions(kQuickMs);
    options.timeouts.replyMs = 300;
    ASSERT_TRUE(startRaw(
        [sha1](ScriptedPeer &peer) {
            login(peer, "211-Features:\r\n HASH SHA-1*;SHA-256;MD5\r\n SIZE\r\n211 End");
            peer.answer("504 SHA-256 not allowed here");
            // The digest comes after the reply timeout, as proftpd's does while
            // it reads a large file.
            peer.readLine();
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            peer.send("213-Computing SHA-1 digest\r\n Computing...\r\n213 SHA-1 0-1000 " + sha1 +
                      " /up/a b.bin\r\n");
            peer.answer("213 SHA-1 0-999 " + sha1 + " /up/a b.bin");
            peer.answer("213 SHA-1 0-500 " + sha1 + " /up/a b.bin");
            peer.answer("213 MD5 0-1000 " + sha1.substr(0, 32) + " /up/a b.bin");
            peer.answer("550 /up/a b.bin: Permission denied");
            peer.answer("250 ok");
        },
        options));
    // SHA-256 refused: the algorithm already selected will do.
    EXPECT_EQ(c->hashAlgorithm(), HashAlgorithm::Sha1);
    EXPECT_EQ(c->hashAlgorithm(), HashAlgorithm::Sha1);
    EXPECT_EQ(c->remoteHash("/up/a b.bin", 1000), sha1);
    EXPECT_EQ(c->remoteHash("/up/a b.bin", 1000), sha1) << "the range's end counted inclusively";
    for (const char *what : {"another range", "another algorithm"}) {
        EXPECT_FALSE(c->remoteHash("/up/a b.bin", 1000)) << what;
        EXPECT_EQ(c->lastFailure().kind, FailureKind::BadReply) << what;
    }
    EXPECT_FALSE(c->remoteHash("/up/a b.bin", 1000));
    EXPECT_EQ(c->lastFailure().kind, FailureKind::CommandRefused);
    EXPECT_EQ(c->lastFailure().command, "HASH");
    EXPECT_TRUE(c->command("NOOP")) << "a refused digest leaves the connection usable";
    EXPECT_EQ(server->transcript(),
              (Strings{"USER bob", "PASS pw", "FEAT", "OPTS HASH SHA-256", "HASH /up/a b.bin",
                       "HASH /up/a b.bin", "HASH /up/a b.bin", "HASH /up/a b.bin",
                       "HASH /up/a b.bin", "NOOP"}));
}
