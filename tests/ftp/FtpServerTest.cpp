// SPDX-License-Identifier: GPL-3.0-or-later
// Every client operation against real servers: pyftpdlib, vsftpd, proftpd
// and pure-ftpd, in passive and active mode, over IPv4 and IPv6 (skipped where
// ::1 is missing). Files are compared byte for byte on the server's disk.
// Where a server's default behaviour really differs (proftpd refuses to
// overwrite, to append to an existing file and to restart a STOR), the test
// says so and checks the refusal instead.

#include "FtpTestSend.h"
#include "RealServerSession.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ftp;
using Kind = FtpTestServer::Kind;

namespace {

struct ServerCase
{
    Kind kind;
    bool passive;
    bool ipv6;
};

std::string caseName(const testing::TestParamInfo<ServerCase> &info)
{
    return std::string(FtpTestServer::kindName(info.param.kind)) +
           (info.param.passive ? "_passive" : "_active") + (info.param.ipv6 ? "_ipv6" : "_ipv4");
}

class FtpServerTest : public testing::TestWithParam<ServerCase>, protected RealServerSession
{
protected:
    void SetUp() override
    {
        const ServerCase c = GetParam();
        if (c.ipv6 && !FtpTestServer::ipv6Available())
            GTEST_SKIP() << "no ::1 on this machine";
        m_server = FtpTestServer::start(c.kind, {.ipv6 = c.ipv6});
        ASSERT_TRUE(m_server) << FtpTestServer::lastError();
        ASSERT_TRUE(m_local.isValid());
        FtpService::Options o = testOptions(5000);
        o.passiveFirst = c.passive;
        m_service = FtpService::open(o);
    }

    /// proftpd's compiled default: no AllowOverwrite, no AllowStoreRestart.
    bool refusesOverwriteAndAppend() const { return GetParam().kind == Kind::Proftpd; }
};

} // namespace

TEST_P(FtpServerTest, LoginAcceptedAndRefused)
{
    auto c = login();
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->isOpen());
    EXPECT_TRUE(c->hasFeature("SIZE"));
    EXPECT_TRUE(c->hasFeature("UTF8"));

    // vsftpd here takes anonymous logins only, so a named user is refused;
    // the others refuse a wrong password, pure-ftpd only after a pause of
    // about five seconds.
    const std::string secret = "wrong-Pa55word";
    std::string error;
    FtpService::Options patient;
    patient.timeouts.replyMs = 20000;
    auto refused = FtpConnection::connect(*FtpService::open(patient), m_server->serverField(),
                                          "trelvan", secret, &error);
    EXPECT_FALSE(refused);
    EXPECT_NE(error.find("530"), std::string::npos) << error;
    EXPECT_EQ(error.find(secret), std::string::npos) << error;
}

TEST_P(FtpServerTest, PutFileStoresExactBytesInTheRequestedMode)
{
    auto c = login();
    ASSERT_TRUE(c);
    // Several blocks plus a tail, an empty file (how the upload run creates a
    // remote file), a Cyrillic name with a blank, and an overwrite.
    const std::string big = randomBytes(300 * 1024 + 123, 1);
    ASSERT_TRUE(c->putFile(localFile("big.bin", big).toStdString(), remote("big.bin")));
    EXPECT_EQ(readFile(m_server->localPath(remote("big.bin"))), big);

    ASSERT_TRUE(c->putFile(localFile("Temp.dat", "").toStdString(), remote("empty.bin")));
    EXPECT_EQ(readFile(m_server->localPath(remote("empty.bin"))), "");

    const std::string name = "Отчёт за год.txt";
    const std::string text = randomBytes(5000, 2);
    ASSERT_TRUE(c->putFile(localFile("report.txt", text).toStdString(), remote(name)));
    EXPECT_EQ(readFile(m_server->localPath(remote(name))), text);

    const std::string shorter = randomBytes(10, 3);
    const bool overwritten =
        c->putFile(localFile("short.bin", shorter).toStdString(), remote("big.bin"));
    if (refusesOverwriteAndAppend()) {
        EXPECT_FALSE(overwritten);
        EXPECT_EQ(c->lastReplyCode(), 550);
        EXPECT_EQ(readFile(m_server->localPath(remote("big.bin"))), big);
    } else {
        EXPECT_TRUE(overwritten);
        EXPECT_EQ(readFile(m_server->localPath(remote("big.bin"))), shorter);
    }

    EXPECT_FALSE(c->putFile(m_local.filePath("no such file").toStdString(), remote("x.bin")));
    EXPECT_TRUE(c->isOpen());

    // Every server reports the upload with its full size.
    const auto events = m_server->events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const FtpServerEvent &e) {
        return e.kind == "upload" && e.path == remote("big.bin") &&
               e.bytes == static_cast<int64_t>(big.size());
    }));

    const auto commands = m_server->commands();
    if (GetParam().passive) {
        EXPECT_TRUE(hasLine(commands, "EPSV"));
        EXPECT_FALSE(hasLine(commands, "EPRT"));
    } else {
        EXPECT_TRUE(hasLine(commands, "EPRT"));
        EXPECT_FALSE(hasLine(commands, "EPSV"));
    }
}

TEST_P(FtpServerTest, RemoteSizeAndFolders)
{
    auto c = login();
    ASSERT_TRUE(c);
    const std::string bytes = randomBytes(12345, 4);
    ASSERT_TRUE(c->putFile(localFile("a.bin", bytes).toStdString(), remote("a.bin")));
    EXPECT_EQ(c->remoteSize(remote("a.bin")), 12345);
    EXPECT_EQ(c->lastSizeSource(), SizeSource::Size);
    EXPECT_FALSE(c->remoteSize(remote("missing.bin")));
    EXPECT_EQ(c->lastSizeSource(), SizeSource::Size) << "the server said it is not there";
    EXPECT_TRUE(c->isOpen());

    EXPECT_TRUE(c->command("CWD " + m_server->uploadFolder()));
    EXPECT_EQ(c->remoteSize("a.bin"), 12345) << "relative to the new folder";
    EXPECT_FALSE(c->command("CWD /no/such/folder"));
    EXPECT_GE(c->lastReplyCode(), 500);
    EXPECT_TRUE(c->command("CWD /"));
}

TEST_P(FtpServerTest, ListGivesTheServersRawBytes)
{
    QDir root(m_server->rootPath());
    ASSERT_TRUE(root.mkpath("pub/Новая папка"));
    ASSERT_TRUE(root.mkpath("pub/with blanks"));
    ASSERT_TRUE(writeFile(m_server->localPath("/pub/file.txt"), "x"));

    auto c = login();
    ASSERT_TRUE(c);
    const auto pub = listing(*c, "/pub");
    ASSERT_TRUE(pub);
    EXPECT_NE(pub->find(" Новая папка\r\n"), std::string::npos) << *pub;
    EXPECT_NE(pub->find(" with blanks\r\n"), std::string::npos) << *pub;
    EXPECT_NE(pub->find(" file.txt\r\n"), std::string::npos) << *pub;
    EXPECT_EQ(pub->find("\n\n"), std::string::npos) << "lines end with CR LF";
    // The connection goes on after a listing.
    EXPECT_TRUE(c->command("CWD /"));
}

TEST_P(FtpServerTest, AppeContinuesAFile)
{
    auto c = login();
    ASSERT_TRUE(c);
    const std::string whole = randomBytes(70000, 5);
    const std::string head = whole.substr(0, 20000);
    ASSERT_TRUE(c->putFile(localFile("head.bin", head).toStdString(), remote("f.bin")));

    // The upload run's resume: ask the size, then append the rest.
    const auto size = c->remoteSize(remote("f.bin"));
    ASSERT_EQ(size, 20000);
    auto t = c->openTransfer("APPE " + remote("f.bin"), Direction::Upload);
    if (refusesOverwriteAndAppend()) {
        EXPECT_FALSE(t);
        EXPECT_EQ(c->lastReplyCode(), 451);
        EXPECT_EQ(readFile(m_server->localPath(remote("f.bin"))), head);
        // Appending to a file of its own making is allowed.
        t = c->openTransfer("APPE " + remote("new.bin"), Direction::Upload);
        ASSERT_TRUE(t) << c->lastError();
        ASSERT_TRUE(sendBlocks(*t, whole));
        EXPECT_TRUE(t->finish());
        EXPECT_EQ(readFile(m_server->localPath(remote("new.bin"))), whole);
        return;
    }
    ASSERT_TRUE(t) << c->lastError();
    ASSERT_TRUE(sendBlocks(*t, whole.substr(static_cast<std::size_t>(*size))));
    EXPECT_TRUE(t->finish());
    EXPECT_EQ(t->finalReplyCode(), 226);
    EXPECT_EQ(readFile(m_server->localPath(remote("f.bin"))), whole);
    EXPECT_EQ(c->remoteSize(remote("f.bin")), 70000);
}

TEST_P(FtpServerTest, BytesFilledInPlaceArriveInOrderAmongCopiedOnes)
{
    auto c = login();
    ASSERT_TRUE(c);
    const std::string whole = randomBytes(2500000, 8);
    auto t = c->openTransfer("STOR " + remote("p.bin"), Direction::Upload);
    ASSERT_TRUE(t) << c->lastError();
    // Full rooms, rooms that do not fit behind what is held, a ragged tail.
    std::size_t pos = 0;
    auto part = [&](std::size_t n) {
        const std::string bytes = whole.substr(pos, n);
        pos += bytes.size();
        return bytes;
    };
    ASSERT_TRUE(sendReserved(*t, part(2 * kUploadGatherBytes), {kUploadGatherBytes}));
    ASSERT_TRUE(sendBlocks(*t, part(3 * kTransferBlockBytes + 100)));
    ASSERT_TRUE(sendReserved(*t, part(100000), {kUploadGatherBytes - 5000, 12288}));
    ASSERT_TRUE(sendBlocks(*t, part(1000)));
    ASSERT_TRUE(sendReserved(*t, part(2000000), {kUploadGatherBytes, 40000}));
    ASSERT_TRUE(sendBlocks(*t, part(3000)));

    // write() takes the place of room that was never committed, and such
    // room cannot be committed afterwards.
    ASSERT_TRUE(t->reserve(kUploadGatherBytes));
    ASSERT_TRUE(sendBlocks(*t, part(5000)));
    EXPECT_EQ(t->commit(kTransferBlockBytes), -1);
    EXPECT_EQ(t->reserve(kUploadGatherBytes + 1), nullptr) << "more than one send holds";

    ASSERT_TRUE(sendReserved(*t, part(std::string::npos), {kTransferBlockBytes * 3 + 1}));
    EXPECT_TRUE(t->finish());
    EXPECT_EQ(readFile(m_server->localPath(remote("p.bin"))), whole);
}

TEST_P(FtpServerTest, RestStorContinuesAFile)
{
    auto c = login();
    ASSERT_TRUE(c);
    const std::string whole = randomBytes(50000, 6);
    ASSERT_TRUE(
        c->putFile(localFile("head.bin", whole.substr(0, 8192)).toStdString(), remote("r.bin")));
    auto t = c->openTransfer("STOR " + remote("r.bin"), Direction::Upload, 8192);
    if (refusesOverwriteAndAppend()) {
        EXPECT_FALSE(t);
        // The overwrite check comes first: 550, not the 451 of APPE.
        EXPECT_EQ(c->lastReplyCode(), 550) << c->lastError();
        EXPECT_EQ(readFile(m_server->localPath(remote("r.bin"))), whole.substr(0, 8192));
        return;
    }
    ASSERT_TRUE(t) << c->lastError();
    ASSERT_TRUE(sendBlocks(*t, whole.substr(8192)));
    EXPECT_TRUE(t->finish());
    EXPECT_EQ(readFile(m_server->localPath(remote("r.bin"))), whole);
    EXPECT_TRUE(hasLine(m_server->commands(), "REST 8192"));
}

TEST_P(FtpServerTest, ServerGoneMidTransferFailsAndComesBack)
{
    auto c = login();
    ASSERT_TRUE(c);
    auto t = c->openTransfer("STOR " + remote("k.bin"), Direction::Upload);
    ASSERT_TRUE(t) << c->lastError();
    const std::string block = randomBytes(kTransferBlockBytes, 7);
    ASSERT_EQ(t->write(block.data(), kTransferBlockBytes), kTransferBlockBytes);
    m_server->stop();
    // Writes fail once the kernel learns the peer is gone; never a hang.
    int result = 0;
    for (int i = 0; i < 100000 && result >= 0; ++i)
        result = t->write(block.data(), kTransferBlockBytes);
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(t->finish());
    EXPECT_FALSE(c->command("NOOP"));
    EXPECT_FALSE(c->isOpen());

    ASSERT_TRUE(m_server->restart()) << FtpTestServer::lastError();
    auto again = login();
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->remoteSize(remote("k.bin")).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    AllServers, FtpServerTest,
    testing::Values(ServerCase{Kind::Pyftpd, true, false}, ServerCase{Kind::Pyftpd, false, false},
                    ServerCase{Kind::Pyftpd, true, true}, ServerCase{Kind::Pyftpd, false, true},
                    ServerCase{Kind::Vsftpd, true, false}, ServerCase{Kind::Vsftpd, false, false},
                    ServerCase{Kind::Vsftpd, true, true}, ServerCase{Kind::Vsftpd, false, true},
                    ServerCase{Kind::Proftpd, true, false}, ServerCase{Kind::Proftpd, false, false},
                    ServerCase{Kind::Proftpd, true, true}, ServerCase{Kind::Proftpd, false, true},
                    ServerCase{Kind::PureFtpd, true, false},
                    ServerCase{Kind::PureFtpd, false, false},
                    ServerCase{Kind::PureFtpd, true, true},
                    ServerCase{Kind::PureFtpd, false, true}),
    caseName);
