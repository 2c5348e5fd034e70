// SPDX-License-Identifier: GPL-3.0-or-later
// The upload run over TLS, with the same scripted window as the plain upload
// tests: a cut upload continues byte-identical in a new pass; a certificate
// question is asked once, however many passes and logins follow; a refused
// certificate keeps the run from ever sending the password.

#include "state/TrustStore.h"
#include "support/FtpTestClient.h"
#include "support/TestCertificates.h"
#include "upload/UploadRunSession.h"

#include <QFile>

#include <gtest/gtest.h>

using Kind = FtpTestServer::Kind;
using Tls = FtpServerOptions::Tls;
using Strings = std::vector<std::string>;

namespace {

class FtpTlsUploadRunTest : public testing::Test, protected UploadRunSession
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_certificates.isValid()) << m_certificates.error();
        m_store = std::make_unique<TrustStore>(programDir.filePath("Trusted.txt"));
    }

    void startServer(Kind kind, const TestCertificates::Pair &cert, FtpServerOptions opts = {})
    {
        ASSERT_FALSE(cert.certFile.empty()) << m_certificates.error();
        opts.tls = Tls::Explicit;
        opts.certFile = cert.certFile;
        opts.keyFile = cert.keyFile;
        UploadRunSession::startServer(kind, opts);
    }

    // The window's glue: the store answers what it knows, the "user" the rest.
    UploadRun::Outcome run(const QString &scheme, const QString &password)
    {
        const ConnectionParams params{scheme + QString::fromStdString(server->serverField()),
                                      QString::fromStdString(server->user()), password};
        ftp::FtpService::Options options = testOptions(5000);
        options.certificateDecision = [this](const ftp::CertificateInfo &info) {
            const auto answer = m_store->decide(QString::fromStdString(info.host), info.port,
                                                QString::fromStdString(info.fingerprint),
                                                [this](bool) { return m_answer; });
            ++m_callbacks;
            return answer == TrustStore::Answer::Refuse ? ftp::CertificateDecision::Refuse
                                                        : ftp::CertificateDecision::TrustOnce;
        };
        options.loggedIn = [this](ftp::Security s) { m_logins.push_back(s); };
        return runUpload(params, options);
    }

    std::size_t credentialsSeen() const
    {
        std::size_t n = 0;
        for (const std::string &c : server->commands())
            n += c.rfind("USER", 0) == 0 || c.rfind("PASS", 0) == 0;
        return n;
    }

    TestCertificates m_certificates;
    std::unique_ptr<TrustStore> m_store;
    TrustStore::Answer m_answer = TrustStore::Answer::Refuse;
    int m_callbacks = 0;
    std::vector<ftp::Security> m_logins;
};

} // namespace

TEST_F(FtpTlsUploadRunTest, CutUploadContinuesByteIdenticalAndTheQuestionComesOnce)
{
    startServer(Kind::Pyftpd, m_certificates.selfSigned("localhost"),
                {.cutDataAfter = 300000, .cutTimes = 1});
    const QByteArray data = randomBytes(1024 * 1024 + 5, 41);
    const QByteArray second = randomBytes(70000, 42);
    list.setPaths({makeLocal("a.bin", data), makeLocal(u"второй.bin"_qs, second)});
    m_answer = TrustStore::Answer::TrustOnce;

    EXPECT_EQ(run("ftpes://", QString::fromStdString(server->password())),
              UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("a.bin")), data);
    EXPECT_EQ(readFile(remoteOf(u"второй.bin"_qs)), second);
    EXPECT_EQ(view.prompts, QStringList{UploadRun::TextConnectionLost});
    // Two passes, two services: the user was asked in the first, and "once"
    // held for the second.
    EXPECT_EQ(m_logins,
              (std::vector<ftp::Security>{ftp::Security::ExplicitTls, ftp::Security::ExplicitTls}));
    EXPECT_EQ(m_callbacks, 2);
    EXPECT_FALSE(QFile::exists(m_store->path())) << "once is never written";

    // a.bin: the part before the cut, then the rest; then the second file.
    EXPECT_EQ(server->uploadLines(),
              (Strings{"APPE 0+300000", "APPE 300000+" + std::to_string(data.size() - 300000),
                       "APPE 0+70000"}));
}

TEST_F(FtpTlsUploadRunTest, RefusedCertificateEndsTheRunWithoutSendingThePassword)
{
    startServer(Kind::Vsftpd, m_certificates.selfSigned("localhost"));
    list.setPaths({makeLocal("a.bin", randomBytes(5000, 43))});
    m_answer = TrustStore::Answer::Refuse;

    EXPECT_EQ(run("", u"guest-pw"_qs), UploadRun::Outcome::Interrupted);
    // The refusal ends the run at once: no silent login retries, no
    // time-out prompt that would answer Continue by itself.
    EXPECT_TRUE(view.prompts.isEmpty());
    EXPECT_EQ(m_callbacks, 1);
    EXPECT_EQ(credentialsSeen(), 0u);
    EXPECT_TRUE(m_logins.empty());
    EXPECT_FALSE(list.at(0).done);
}

// A server that used TLS before and offers none now: "no" to the question
// ends the run at once, the reason in the log and no login retried behind it.
TEST_F(FtpTlsUploadRunTest, NoPasswordInClearToAServerThatDroppedTlsWhenTheUserSaysNo)
{
    UploadRunSession::startServer(Kind::Pyftpd);
    list.setPaths({makeLocal("a.bin", randomBytes(5000, 44))});
    int asked = 0;
    ftp::FtpService::Options options = testOptions(5000);
    options.tlsBefore = [](const std::string &, uint16_t) { return true; };
    options.clearLoginDecision = [&](const std::string &, uint16_t) {
        ++asked;
        return false;
    };
    const ConnectionParams params{QString::fromStdString(server->serverField()),
                                  QString::fromStdString(server->user()),
                                  QString::fromStdString(server->password())};
    EXPECT_EQ(runUpload(params, options), UploadRun::Outcome::Interrupted);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(view.prompts.isEmpty());
    EXPECT_EQ(credentialsSeen(), 0u);
    EXPECT_TRUE(view.log.contains(u"Сервер раньше шифровал соединение, а теперь не предлагает "
                                  u"TLS; пароль открытым текстом не отправлен"_qs))
        << view.log.join(u'\n').toStdString();
    EXPECT_FALSE(list.at(0).done);
}
