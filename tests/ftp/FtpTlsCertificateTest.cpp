// SPDX-License-Identifier: GPL-3.0-or-later
// Certificates that do not verify, against real TLS servers: what the
// question about them carries, that a refusal stops the login before USER,
// that an answer holds for the service, that names are checked, and the
// trust store's rules (a changed certificate is refused unless accepted; an
// "always" survives a restart of the program).

#include "FtpTestFiles.h"
#include "ftp/FtpClient.h"
#include "state/TrustStore.h"
#include "support/FtpTestClient.h"
#include "support/FtpTestServer.h"
#include "support/ScopedEnv.h"
#include "support/TestCertificates.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

using namespace ftp;
using Kind = FtpTestServer::Kind;
using Tls = FtpServerOptions::Tls;

namespace {

TestCertificates &certificates()
{
    static TestCertificates made;
    return made;
}

std::unique_ptr<FtpTestServer> startTls(Kind kind, Tls tls, const TestCertificates::Pair &cert)
{
    auto server = FtpTestServer::start(
        kind, {.tls = tls, .certFile = cert.certFile, .keyFile = cert.keyFile});
    EXPECT_TRUE(server) << FtpTestServer::lastError();
    return server;
}

std::size_t logins(const FtpTestServer &server)
{
    const auto commands = server.commands();
    return static_cast<std::size_t>(
        std::count_if(commands.begin(), commands.end(), [](const std::string &c) {
            return c.rfind("USER", 0) == 0 || c.rfind("PASS", 0) == 0;
        }));
}

// What the window's glue does: the store decides, the "user" is a script.
CertificateCallback storeCallback(TrustStore &store, std::vector<bool> *askedChanged,
                                  std::vector<TrustStore::Answer> *answers)
{
    return [&store, askedChanged, answers](const CertificateInfo &info) {
        const auto answer =
            store.decide(QString::fromStdString(info.host), info.port,
                         QString::fromStdString(info.fingerprint), [&](bool changed) {
                             askedChanged->push_back(changed);
                             if (answers->empty())
                                 return TrustStore::Answer::Refuse;
                             const auto a = answers->front();
                             answers->erase(answers->begin());
                             return a;
                         });
        switch (answer) {
        case TrustStore::Answer::TrustAlways:
            return CertificateDecision::TrustAlways;
        case TrustStore::Answer::TrustOnce:
            return CertificateDecision::TrustOnce;
        case TrustStore::Answer::Refuse:
            break;
        }
        return CertificateDecision::Refuse;
    };
}

} // namespace

TEST(FtpTlsCertificate, SelfSignedIsPutToTheCallbackAndRefusalStopsBeforeTheLogin)
{
    ASSERT_TRUE(certificates().isValid()) << certificates().error();
    const auto self = certificates().selfSigned("Trelvan self-signed");
    ASSERT_FALSE(self.certFile.empty()) << certificates().error();
    auto server = startTls(Kind::Pyftpd, Tls::Explicit, self);
    ASSERT_TRUE(server);

    std::vector<CertificateInfo> questions;
    CertificateDecision answer = CertificateDecision::Refuse;
    FtpService::Options o = testOptions(5000);
    o.certificateDecision = [&](const CertificateInfo &info) {
        questions.push_back(info);
        return answer;
    };
    auto service = FtpService::open(o);
    std::string error;
    EXPECT_FALSE(loginTo(*service, *server, &error, "ftpes://"));
    EXPECT_NE(error.find("not trusted"), std::string::npos) << error;
    EXPECT_EQ(logins(*server), 0u) << "no credentials after a refused certificate";

    ASSERT_EQ(questions.size(), 1u);
    const CertificateInfo &q = questions[0];
    EXPECT_EQ(q.host, "127.0.0.1");
    EXPECT_EQ(q.port, server->port());
    EXPECT_NE(q.subject.find("CN = Trelvan self-signed"), std::string::npos) << q.subject;
    EXPECT_EQ(q.issuer, q.subject);
    EXPECT_EQ(q.fingerprint, certificates().fingerprint(self.certFile));
    EXPECT_EQ(q.fingerprint.size(), 95u);
    EXPECT_EQ(q.problem, CertificateProblem::Untrusted);
    EXPECT_FALSE(q.error.empty());
    EXPECT_FALSE(q.changed);
    const int64_t now = std::time(nullptr);
    EXPECT_LE(q.notBefore, now);
    EXPECT_NEAR(static_cast<double>(q.notAfter - q.notBefore), 30.0 * 86400, 60.0);

    // The refusal holds for this service: no second question, no login,
    // and a caller that retries can see it.
    EXPECT_TRUE(service->certificateRefused());
    EXPECT_FALSE(loginTo(*service, *server, &error, "ftpes://"));
    EXPECT_EQ(questions.size(), 1u);

    // A new service asks again; "once" then holds for every connection of
    // that service, data connections included.
    service = FtpService::open(o);
    answer = CertificateDecision::TrustOnce;
    auto c = loginTo(*service, *server, &error, "ftpes://");
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(c->security(), Security::ExplicitTls);
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_FALSE(service->certificateRefused());
    auto again = loginTo(*service, *server, &error, "");
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(questions.size(), 2u);
    QTemporaryDir local;
    const QString file = local.filePath("a.bin");
    const std::string bytes = randomBytes(20000, 21);
    ASSERT_TRUE(writeFile(file, bytes));
    ASSERT_TRUE(again->putFile(file.toStdString(), "/upload/a.bin")) << again->lastError();
    EXPECT_EQ(readFile(server->localPath("/upload/a.bin")), bytes);

    // Without a callback nothing that fails verification gets through.
    auto silent = FtpService::open(testOptions(5000));
    EXPECT_FALSE(loginTo(*silent, *server, &error, "ftpes://"));
    EXPECT_NE(error.find("not trusted"), std::string::npos) << error;
    EXPECT_TRUE(silent->certificateRefused());
}

TEST(FtpTlsCertificate, CaAndNameAreBothChecked)
{
    ASSERT_TRUE(certificates().isValid()) << certificates().error();
    const auto loopback = certificates().signedByCa("localhost");
    const auto otherName = certificates().signedByCa("ftp.other.example", "DNS:ftp.other.example");
    ASSERT_FALSE(loopback.certFile.empty() || otherName.certFile.empty()) << certificates().error();

    std::vector<CertificateInfo> questions;
    FtpService::Options o = testOptions(5000);
    o.certificateDecision = [&](const CertificateInfo &info) {
        questions.push_back(info);
        return CertificateDecision::Refuse;
    };
    std::string error;

    // Signed by a CA the system does not know.
    auto server = startTls(Kind::Vsftpd, Tls::Implicit, loopback);
    ASSERT_TRUE(server);
    auto service = FtpService::open(o);
    EXPECT_FALSE(loginTo(*service, *server, &error, "ftps://"));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].problem, CertificateProblem::Untrusted);
    EXPECT_NE(questions[0].issuer.find("Trelvan Test CA"), std::string::npos);

    // Trusting the CA settles it, by address and by name.
    o.caFile = certificates().caFile();
    service = FtpService::open(o);
    auto c = loginTo(*service, *server, &error, "ftps://");
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(c->security(), Security::ImplicitTls);
    c = FtpConnection::connect(*service, "ftps://localhost:" + std::to_string(server->port()),
                               server->user(), server->password(), &error);
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(questions.size(), 1u);

    // So does the CA among the system's roots: filed by hash in their folder,
    // or in a bundle SSL_CERT_FILE names.
    const std::string roots = certificates().hashedCaFolder();
    ASSERT_FALSE(roots.empty()) << certificates().error();
    for (const auto &[fileEnv, dirEnv] :
         {std::pair{QByteArray(), QByteArray::fromStdString(roots)},
          std::pair{QByteArray::fromStdString(certificates().caFile()),
                    QByteArray("/nonexistent")}}) {
        SCOPED_TRACE((fileEnv + " " + dirEnv).toStdString());
        ScopedEnv file("SSL_CERT_FILE", fileEnv), dir("SSL_CERT_DIR", dirEnv);
        FtpService::Options system = o;
        system.caFile.clear();
        service = FtpService::open(system);
        EXPECT_TRUE(loginTo(*service, *server, &error, "ftps://")) << error;
        EXPECT_EQ(questions.size(), 1u);
    }
    service = FtpService::open(o);

    // A trusted CA's certificate for another name is not this server's.
    server = startTls(Kind::Vsftpd, Tls::Explicit, otherName);
    ASSERT_TRUE(server);
    EXPECT_FALSE(loginTo(*service, *server, &error, "ftpes://"));
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[1].problem, CertificateProblem::NameMismatch);
    EXPECT_EQ(logins(*server), 0u);
}

TEST(FtpTlsCertificate, ChangedCertificateIsRefusedUnlessAcceptedAndTrustSurvivesARestart)
{
    ASSERT_TRUE(certificates().isValid()) << certificates().error();
    const auto first = certificates().selfSigned("Trelvan first");
    const auto second = certificates().selfSigned("Trelvan second");
    ASSERT_FALSE(first.certFile.empty() || second.certFile.empty()) << certificates().error();
    const QString firstPrint = QString::fromStdString(certificates().fingerprint(first.certFile));
    const QString secondPrint = QString::fromStdString(certificates().fingerprint(second.certFile));
    auto server = startTls(Kind::Vsftpd, Tls::Explicit, first);
    ASSERT_TRUE(server);
    const QString host = "127.0.0.1";
    QTemporaryDir data;
    const QString path = data.filePath("Trusted.txt");
    std::vector<bool> asked;
    std::vector<TrustStore::Answer> answers = {TrustStore::Answer::TrustAlways};
    std::string error;

    {
        TrustStore store(path);
        FtpService::Options o = testOptions(5000);
        o.certificateDecision = storeCallback(store, &asked, &answers);
        auto service = FtpService::open(o);
        ASSERT_TRUE(loginTo(*service, *server, &error, "ftpes://")) << error;
        EXPECT_EQ(asked, std::vector<bool>{false});
        EXPECT_EQ(store.storedFingerprint(host, server->port()), firstPrint);
    }
    const QByteArray written = readFile(path).c_str();
    EXPECT_TRUE(written.contains(firstPrint.toLatin1())) << written.constData();
    EXPECT_FALSE(written.contains("guest-pw"));

    // The program starts again: the store comes back from its file and the
    // certificate passes without a question.
    {
        TrustStore store(path);
        FtpService::Options o = testOptions(5000);
        o.certificateDecision = storeCallback(store, &asked, &answers);
        auto service = FtpService::open(o);
        ASSERT_TRUE(loginTo(*service, *server, &error, "ftpes://")) << error;
        EXPECT_EQ(asked.size(), 1u);
    }

    // The server now shows another certificate: the user is told it changed;
    // a refusal keeps the old trust and sends no credentials.
    server->setCertificate(second.certFile, second.keyFile);
    ASSERT_TRUE(server->restart()) << FtpTestServer::lastError();
    const std::size_t loginsBefore = logins(*server);
    answers = {TrustStore::Answer::Refuse, TrustStore::Answer::TrustAlways};
    {
        TrustStore store(path);
        FtpService::Options o = testOptions(5000);
        o.certificateDecision = storeCallback(store, &asked, &answers);
        auto service = FtpService::open(o);
        EXPECT_FALSE(loginTo(*service, *server, &error, "ftpes://"));
        EXPECT_EQ(asked, (std::vector<bool>{false, true}));
        EXPECT_EQ(logins(*server), loginsBefore);
        EXPECT_EQ(TrustStore(path).storedFingerprint(host, server->port()), firstPrint);

        // Accepting the new one replaces the old one.
        service = FtpService::open(o);
        ASSERT_TRUE(loginTo(*service, *server, &error, "ftpes://")) << error;
        EXPECT_EQ(asked, (std::vector<bool>{false, true, true}));
    }
    TrustStore reloaded(path);
    EXPECT_EQ(reloaded.storedFingerprint(host, server->port()), secondPrint);
    EXPECT_EQ(reloaded.match(host, server->port(), firstPrint), TrustStore::Match::Changed);
}

TEST(FtpTlsCertificate, TrustStoreFileAndRules)
{
    QTemporaryDir data;
    const QString path = data.filePath("Trusted.txt");
    const QString a = QString(95, 'A');
    const QString b = QString(95, 'B');
    ASSERT_TRUE(writeFile(path, "# comment\r\n"
                                "Ftp.Example.COM 21 " +
                                    std::string(95, 'a') +
                                    "\r\n"
                                    "garbage\r\n"
                                    "host 0 " +
                                    std::string(95, 'c') +
                                    "\n"
                                    "::1 2121 " +
                                    std::string(95, 'B') + "\n"));
    TrustStore store(path);
    EXPECT_EQ(store.match("ftp.example.com", 21, a), TrustStore::Match::Trusted);
    EXPECT_EQ(store.match("ftp.example.com", 2121, a), TrustStore::Match::Unknown)
        << "per host and port";
    EXPECT_EQ(store.match("ftp.example.com", 21, b), TrustStore::Match::Changed);
    EXPECT_EQ(store.match("::1", 2121, b), TrustStore::Match::Trusted);
    EXPECT_EQ(store.match("host", 0, QString(95, 'C')), TrustStore::Match::Unknown);

    // "Once" is not written; "always" is, atomically, and replaces.
    int asks = 0;
    auto answer = [&asks](TrustStore::Answer a) {
        return [&asks, a](bool) {
            ++asks;
            return a;
        };
    };
    EXPECT_EQ(store.decide("new.example", 21, a, answer(TrustStore::Answer::TrustOnce)),
              TrustStore::Answer::TrustOnce);
    EXPECT_EQ(store.decide("new.example", 21, a, answer(TrustStore::Answer::Refuse)),
              TrustStore::Answer::TrustOnce)
        << "once holds until the program ends";
    EXPECT_EQ(asks, 1);
    EXPECT_EQ(TrustStore(path).match("new.example", 21, a), TrustStore::Match::Unknown);
    EXPECT_EQ(store.decide("ftp.example.com", 21, b, answer(TrustStore::Answer::TrustAlways)),
              TrustStore::Answer::TrustAlways);
    EXPECT_EQ(TrustStore(path).match("ftp.example.com", 21, b), TrustStore::Match::Trusted);
    EXPECT_EQ(TrustStore(path).match("::1", 2121, b), TrustStore::Match::Trusted);
    EXPECT_EQ(store.decide("other.example", 21, a, {}), TrustStore::Answer::Refuse);
    EXPECT_EQ(asks, 2);

    // A store whose file cannot be written still holds the answer for now.
    TrustStore unwritable(data.filePath("no/such/folder/Trusted.txt"));
    EXPECT_FALSE(unwritable.trustAlways("h", 21, a));
    EXPECT_EQ(unwritable.match("h", 21, a), TrustStore::Match::Trusted);
}
