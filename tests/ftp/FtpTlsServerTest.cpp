// SPDX-License-Identifier: GPL-3.0-or-later
// FTP over TLS against real servers: pyftpdlib's TLS handler and vsftpd with
// ssl_enable (which insists on session reuse for data connections and on
// close_notify at the end of an upload), explicit and implicit, passive and
// active. The server's certificate is signed by a test CA that the client is
// told to trust, so no question is put: every question here is a failure.

#include "FtpTestSend.h"
#include "RealServerSession.h"
#include "support/TestCertificates.h"

#include <QDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace ftp;
using Kind = FtpTestServer::Kind;
using Tls = FtpServerOptions::Tls;

namespace {

struct TlsCase
{
    Kind kind;
    Tls tls;
    const char *scheme; ///< "ftpes://", "ftps://" or "" (bare: TLS when FEAT offers it)
    bool passive;
    bool ipv6 = false;
};

std::string caseName(const testing::TestParamInfo<TlsCase> &info)
{
    const TlsCase &c = info.param;
    std::string scheme =
        *c.scheme ? std::string(c.scheme, std::string(c.scheme).find(':')) : std::string("bare");
    return std::string(FtpTestServer::kindName(c.kind)) + "_" + scheme +
           (c.passive ? "_passive" : "_active") + (c.ipv6 ? "_ipv6" : "");
}

class FtpTlsServerTest : public testing::TestWithParam<TlsCase>, protected RealServerSession
{
protected:
    static void SetUpTestSuite()
    {
        s_certificates = new TestCertificates;
        if (s_certificates->isValid())
            s_serverCert = s_certificates->signedByCa("localhost");
    }
    static void TearDownTestSuite()
    {
        delete s_certificates;
        s_certificates = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(s_certificates->isValid()) << s_certificates->error();
        ASSERT_FALSE(s_serverCert.certFile.empty()) << s_certificates->error();
        const TlsCase c = GetParam();
        if (c.ipv6 && !FtpTestServer::ipv6Available())
            GTEST_SKIP() << "no ::1 on this machine";
        m_scheme = c.scheme;
        startServer(serverOptions());
    }

    FtpServerOptions serverOptions() const
    {
        return {.ipv6 = GetParam().ipv6,
                .tls = GetParam().tls,
                .certFile = s_serverCert.certFile,
                .keyFile = s_serverCert.keyFile};
    }

    void startServer(const FtpServerOptions &opts)
    {
        m_server = FtpTestServer::start(GetParam().kind, opts);
        ASSERT_TRUE(m_server) << FtpTestServer::lastError();
        ASSERT_TRUE(m_local.isValid());
        m_service = FtpService::open(options());
    }

    FtpService::Options options()
    {
        FtpService::Options o = testOptions(5000);
        o.passiveFirst = GetParam().passive;
        o.caFile = s_certificates->caFile();
        o.certificateDecision = [this](const CertificateInfo &info) {
            m_questions.push_back(info);
            return CertificateDecision::Refuse;
        };
        o.loggedIn = [this](Security s) { m_reported.push_back(s); };
        return o;
    }

    Security expectedSecurity() const
    {
        return GetParam().tls == Tls::Implicit ? Security::ImplicitTls : Security::ExplicitTls;
    }

    static TestCertificates *s_certificates;
    static TestCertificates::Pair s_serverCert;

    std::vector<CertificateInfo> m_questions;
    std::vector<Security> m_reported;
};

TestCertificates *FtpTlsServerTest::s_certificates = nullptr;
TestCertificates::Pair FtpTlsServerTest::s_serverCert;

} // namespace

TEST_P(FtpTlsServerTest, LoginIsProtectedFromTheFirstCredential)
{
    auto c = login();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->security(), expectedSecurity());
    EXPECT_EQ(m_reported, std::vector<Security>{expectedSecurity()});
    EXPECT_TRUE(m_questions.empty()) << "a certificate from the trusted CA needs no question";
    EXPECT_TRUE(c->hasFeature("SIZE"));

    const auto commands = m_server->commands();
    const auto user = indexOfLine(commands, "USER");
    ASSERT_GE(user, 0);
    if (GetParam().tls == Tls::Explicit) {
        const auto auth = indexOfLine(commands, "AUTH TLS");
        ASSERT_GE(auth, 0);
        EXPECT_LT(auth, user);
        // A bare field learns of AUTH TLS from FEAT, asked before the login.
        if (!*GetParam().scheme) {
            EXPECT_EQ(indexOfLine(commands, "FEAT"), 0);
        }
    } else {
        EXPECT_FALSE(hasLine(commands, "AUTH"));
    }
    const auto pbsz = indexOfLine(commands, "PBSZ 0");
    const auto prot = indexOfLine(commands, "PROT P");
    EXPECT_GT(pbsz, user);
    EXPECT_GT(prot, pbsz);
}

TEST_P(FtpTlsServerTest, UploadListingAndSizeOverProtectedDataConnections)
{
    auto c = login();
    ASSERT_TRUE(c);
    // Several data connections in one session: each resumes the control
    // connection's TLS session (vsftpd refuses them otherwise).
    const std::string big = randomBytes(300 * 1024 + 123, 11);
    ASSERT_TRUE(c->putFile(localFile("big.bin", big).toStdString(), remote("big.bin")))
        << c->lastError();
    EXPECT_EQ(readFile(m_server->localPath(remote("big.bin"))), big);
    ASSERT_TRUE(c->putFile(localFile("Temp.dat", "").toStdString(), remote("empty.bin")));
    EXPECT_EQ(readFile(m_server->localPath(remote("empty.bin"))), "");

    auto t = c->openTransfer("STOR " + remote("blocks.bin"), Direction::Upload);
    ASSERT_TRUE(t) << c->lastError();
    const std::string blocks = randomBytes(200 * 1024 + 7, 12);
    // Copied blocks and blocks filled in place, as the upload run sends them.
    ASSERT_TRUE(sendBlocks(*t, blocks.substr(0, 70000)));
    ASSERT_TRUE(sendReserved(*t, blocks.substr(70000), {kUploadGatherBytes}));
    EXPECT_TRUE(t->finish());
    EXPECT_EQ(t->finalReplyCode(), 226);
    EXPECT_EQ(readFile(m_server->localPath(remote("blocks.bin"))), blocks);
    EXPECT_EQ(c->remoteSize(remote("big.bin")), static_cast<int64_t>(big.size()));

    ASSERT_TRUE(QDir(m_server->rootPath()).mkpath("upload/Новая папка"));
    const auto upload = listing(*c, m_server->uploadFolder());
    ASSERT_TRUE(upload);
    EXPECT_NE(upload->find(" big.bin\r\n"), std::string::npos) << *upload;
    EXPECT_NE(upload->find(" Новая папка\r\n"), std::string::npos) << *upload;

    // The session goes on after all that.
    EXPECT_TRUE(c->command("CWD /"));
    const auto commands = m_server->commands();
    EXPECT_TRUE(hasLine(commands, GetParam().passive ? "EPSV" : "EPRT"));
    EXPECT_TRUE(m_questions.empty());
}

TEST_P(FtpTlsServerTest, ResumeAfterACutContinuesByteIdentical)
{
    const std::string whole = randomBytes(400 * 1024 + 99, 13);
    if (GetParam().kind == Kind::Pyftpd) {
        // pyftpdlib resets the data connection after 150000 bytes, once.
        FtpServerOptions opts = serverOptions();
        opts.cutDataAfter = 150000;
        opts.cutTimes = 1;
        m_server.reset();
        startServer(opts);
    }
    {
        auto c = login();
        ASSERT_TRUE(c);
        auto t = c->openTransfer("APPE " + remote("cut.bin"), Direction::Upload);
        ASSERT_TRUE(t) << c->lastError();
        if (GetParam().kind == Kind::Pyftpd) {
            // The writes may all fit into the socket buffers before the cut
            // shows; then the verdict says it.
            const bool sent = sendBlocks(*t, whole);
            EXPECT_FALSE(sent && t->finish()) << "the server cut the connection";
        } else {
            // vsftpd cannot be told to cut, so the client drops the
            // connection in the middle, without TLS close_notify, as a lost
            // line would.
            ASSERT_TRUE(sendBlocks(*t, whole.substr(0, 150000)));
            t->close();
        }
        EXPECT_FALSE(t->finish());
    }
    // A new connection, as the upload run's next pass makes, continues from
    // whatever the server kept.
    auto c = login();
    ASSERT_TRUE(c);
    const auto size = c->remoteSize(remote("cut.bin"));
    ASSERT_TRUE(size.has_value());
    ASSERT_GT(*size, 0);
    ASSERT_LE(*size, 150000);
    EXPECT_EQ(readFile(m_server->localPath(remote("cut.bin"))),
              whole.substr(0, static_cast<std::size_t>(*size)));
    auto t = c->openTransfer("APPE " + remote("cut.bin"), Direction::Upload);
    ASSERT_TRUE(t) << c->lastError();
    ASSERT_TRUE(sendBlocks(*t, whole.substr(static_cast<std::size_t>(*size))));
    EXPECT_TRUE(t->finish());
    EXPECT_EQ(readFile(m_server->localPath(remote("cut.bin"))), whole);
    EXPECT_EQ(c->remoteSize(remote("cut.bin")), static_cast<int64_t>(whole.size()));
}

INSTANTIATE_TEST_SUITE_P(TlsServers, FtpTlsServerTest,
                         testing::Values(TlsCase{Kind::Pyftpd, Tls::Explicit, "ftpes://", true},
                                         TlsCase{Kind::Pyftpd, Tls::Explicit, "", false},
                                         TlsCase{Kind::Pyftpd, Tls::Implicit, "ftps://", true},
                                         TlsCase{Kind::Vsftpd, Tls::Explicit, "ftpes://", true},
                                         TlsCase{Kind::Vsftpd, Tls::Explicit, "", true},
                                         TlsCase{Kind::Vsftpd, Tls::Explicit, "ftpes://", false},
                                         TlsCase{Kind::Vsftpd, Tls::Implicit, "ftps://", false},
                                         TlsCase{Kind::Pyftpd, Tls::Explicit, "", false, true},
                                         TlsCase{Kind::Vsftpd, Tls::Explicit, "ftpes://", true,
                                                 true}),
                         caseName);

// pure-ftpd as its package leaves it lists AUTH TLS in FEAT and refuses it
// (500): a bare name goes on in clear over the same connection.
TEST(FtpTlsPlainServer, FtpesRefusesAServerWithoutTlsBeforeAnyCredential)
{
    for (Kind kind : {Kind::Pyftpd, Kind::Vsftpd, Kind::Proftpd, Kind::PureFtpd}) {
        SCOPED_TRACE(FtpTestServer::kindName(kind));
        auto server = FtpTestServer::start(kind);
        ASSERT_TRUE(server) << FtpTestServer::lastError();
        auto service = FtpService::open({});
        const std::string password = "Never-In-Clear-42";
        std::string error;
        auto c = FtpConnection::connect(*service, "ftpes://" + server->serverField(), "trelvan",
                                        password, &error);
        EXPECT_FALSE(c);
        EXPECT_NE(error.find("does not offer TLS"), std::string::npos) << error;
        EXPECT_EQ(error.find(password), std::string::npos);
        // The server's own log: AUTH TLS asked, and nothing after it.
        EXPECT_EQ(server->commands(), std::vector<std::string>{"AUTH TLS"});

        // The same server under a bare name is used in plain FTP, as before.
        c = loginTo(*service, *server, &error);
        ASSERT_TRUE(c) << error;
        EXPECT_EQ(c->security(), Security::Plain);
        EXPECT_TRUE(c->command("CWD " + server->uploadFolder()));
    }
}

// A bare field's server that used TLS and now offers none (restarted without
// it, as when a man in the middle strips AUTH TLS from FEAT) or refuses AUTH
// TLS (pure-ftpd without a certificate) gets no credential in clear unless
// the caller says yes. ftp:// asked for plain FTP and is not asked about.
TEST(FtpTlsWithdrawn, NoPasswordInClearToAServerThatUsedTlsBefore)
{
    TestCertificates certificates;
    ASSERT_TRUE(certificates.isValid()) << certificates.error();
    const TestCertificates::Pair cert = certificates.signedByCa("localhost");
    auto server = FtpTestServer::start(
        Kind::Pyftpd, {.tls = Tls::Explicit, .certFile = cert.certFile, .keyFile = cert.keyFile});
    ASSERT_TRUE(server) << FtpTestServer::lastError();

    using Server = std::pair<std::string, uint16_t>;
    std::set<Server> tlsServers;
    std::vector<Server> asked;
    bool answer = false;
    auto options = [&](bool withQuestion) {
        FtpService::Options o = testOptions(5000);
        o.caFile = certificates.caFile();
        o.tlsLoggedIn = [&](const std::string &h, uint16_t p) { tlsServers.insert({h, p}); };
        o.tlsBefore = [&](const std::string &h, uint16_t p) { return tlsServers.count({h, p}); };
        if (withQuestion)
            o.clearLoginDecision = [&](const std::string &h, uint16_t p) {
                asked.push_back({h, p});
                return answer;
            };
        return o;
    };
    const Server pyftpd{"127.0.0.1", server->port()};
    auto service = FtpService::open(options(true));
    ASSERT_TRUE(loginTo(*service, *server));
    EXPECT_EQ(tlsServers, std::set<Server>{pyftpd});

    server->setTls(Tls::Off);
    ASSERT_TRUE(server->restart()) << FtpTestServer::lastError();
    // The service remembers the refusal, so that retries stop.
    for (bool withQuestion : {false, true}) {
        SCOPED_TRACE(withQuestion ? "answered no" : "no question");
        service = FtpService::open(options(withQuestion));
        Failure failure;
        EXPECT_FALSE(FtpConnection::connect(*service, server->serverField(), server->user(),
                                            server->password(), nullptr, &failure));
        EXPECT_EQ(failure.kind, FailureKind::TlsWithdrawn);
        EXPECT_TRUE(service->clearLoginRefused());
    }
    EXPECT_EQ(asked, std::vector<Server>{pyftpd});
    EXPECT_EQ(server->commandsStartingWith("USER").size(), 1u) << "the TLS login's only";

    answer = true;
    service = FtpService::open(options(true));
    ASSERT_TRUE(loginTo(*service, *server));
    EXPECT_EQ(asked.size(), 2u);

    auto pure = FtpTestServer::start(Kind::PureFtpd);
    ASSERT_TRUE(pure) << FtpTestServer::lastError();
    tlsServers.insert({"127.0.0.1", pure->port()});
    answer = false;
    Failure failure;
    EXPECT_FALSE(FtpConnection::connect(*service, pure->serverField(), pure->user(),
                                        pure->password(), nullptr, &failure));
    EXPECT_EQ(failure.kind, FailureKind::TlsWithdrawn);
    EXPECT_EQ(failure.reply.substr(0, 3), "500") << failure.reply;
    EXPECT_EQ(pure->commands(), (std::vector<std::string>{"FEAT", "AUTH TLS"}));
    ASSERT_TRUE(loginTo(*service, *pure, nullptr, "ftp://"));
    EXPECT_EQ(asked.size(), 3u);
}
