// The upload run over TLS, with the same scripted window as the plain upload
// tests: a cut upload continues byte-identical in a new pass; a certificate
// question is asked once, however many passes and logins follow; a refused
// certificate keeps the run from ever sending the password.

#include "state/TrustStore.h"
#include "state/UploadList.h"
#include "support/FtpTestServer.h"
#include "support/TestCertificates.h"
#include "support/TestFiles.h"
#include "upload/ScriptedView.h"
#include "upload/UploadRun.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using Kind = FtpTestServer::Kind;
using Tls = FtpServerOptions::Tls;

namespace {

class FtpTlsUploadRunTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_certificates.isValid()) << m_certificates.error();
        m_store = std::make_unique<TrustStore>(m_programDir.filePath("Trusted.txt"));
    }

    void startServer(Kind kind, const TestCertificates::Pair &cert, FtpServerOptions opts = {})
    {
        ASSERT_FALSE(cert.certFile.empty()) << m_certificates.error();
        opts.tls = Tls::Explicit;
        opts.certFile = cert.certFile;
        opts.keyFile = cert.keyFile;
        m_server = FtpTestServer::start(kind, opts);
        ASSERT_TRUE(m_server) << FtpTestServer::lastError();
        m_view.folder = QString::fromStdString(m_server->uploadFolder());
    }

    QString makeLocal(const QString &name, const QByteArray &data)
    {
        const QString path = m_localDir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(data) == data.size());
        return path;
    }

    QString remoteOf(const QString &name) const
    {
        return m_server->localPath(m_server->uploadFolder() + "/" + name.toStdString());
    }

    UploadFiles files() const
    {
        return {m_programDir.filePath("Settings.ini"), m_programDir.filePath("Files.txt"),
                m_programDir.filePath("Upload.dat"), m_programDir.filePath("Temp.dat")};
    }

    // The window's glue: the store answers what it knows, the "user" the rest.
    UploadRun::Outcome run(const QString &scheme, const QString &password)
    {
        const ConnectionParams params{scheme + QString::fromStdString(m_server->serverField()),
                                      QString::fromStdString(m_server->user()), password};
        ftp::FtpService::Options options;
        options.timeouts.connectMs = 5000;
        options.timeouts.replyMs = 5000;
        options.timeouts.dataMs = 5000;
        options.timeouts.finalReplyMs = 5000;
        options.certificateDecision = [this](const ftp::CertificateInfo &info) {
            const auto answer = m_store->decide(QString::fromStdString(info.host), info.port,
                                                QString::fromStdString(info.fingerprint),
                                                [this](bool) { return m_answer; });
            ++m_callbacks;
            return answer == TrustStore::Answer::Refuse ? ftp::CertificateDecision::Refuse
                                                        : ftp::CertificateDecision::TrustOnce;
        };
        options.loggedIn = [this](ftp::Security s) { m_logins.push_back(s); };
        UploadRun upload(m_view, m_list, m_state, params, files(), options);
        upload.loginRetryPauseMs = 100;
        upload.loginWindowMs = 1000;
        upload.progressRefreshMs = 0;
        upload.serviceIntervalMs = 0;
        return upload.exec();
    }

    std::size_t credentialsSeen() const
    {
        std::size_t n = 0;
        for (const std::string &c : m_server->commands())
            n += c.rfind("USER", 0) == 0 || c.rfind("PASS", 0) == 0;
        return n;
    }

    TestCertificates m_certificates;
    QTemporaryDir m_programDir;
    QTemporaryDir m_localDir;
    std::unique_ptr<TrustStore> m_store;
    std::unique_ptr<FtpTestServer> m_server;
    UploadList m_list;
    UploadState m_state;
    ScriptedView m_view;
    TrustStore::Answer m_answer = TrustStore::Answer::Refuse;
    int m_callbacks = 0;
    std::vector<ftp::Security> m_logins;
};

} // namespace

TEST_F(FtpTlsUploadRunTest, CutUploadContinuesByteIdenticalAndTheQuestionComesOnce)
{
    FtpServerOptions opts;
    opts.cutDataAfter = 300000;
    opts.cutTimes = 2; // the empty put counts as the first upload
    startServer(Kind::Pyftpd, m_certificates.selfSigned("localhost"), opts);
    const QByteArray data = randomBytes(1024 * 1024 + 5, 41);
    const QByteArray second = randomBytes(70000, 42);
    m_list.setPaths({makeLocal("a.bin", data), makeLocal(u"второй.bin"_qs, second)});
    m_answer = TrustStore::Answer::TrustOnce;

    EXPECT_EQ(run("ftpes://", QString::fromStdString(m_server->password())),
              UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("a.bin")), data);
    EXPECT_EQ(readFile(remoteOf(u"второй.bin"_qs)), second);
    EXPECT_EQ(m_view.prompts, QStringList{UploadRun::TextConnectionLost});
    // Two passes, two services: the user was asked in the first, and "once"
    // held for the second.
    EXPECT_EQ(m_logins,
              (std::vector<ftp::Security>{ftp::Security::ExplicitTls, ftp::Security::ExplicitTls}));
    EXPECT_EQ(m_callbacks, 2);
    EXPECT_FALSE(QFile::exists(m_store->path())) << "once is never written";

    std::vector<FtpServerEvent> uploads;
    for (const auto &e : m_server->events())
        if (e.kind == "upload")
            uploads.push_back(e);
    ASSERT_EQ(uploads.size(), 5u);
    EXPECT_EQ(uploads[1].command, "APPE");
    EXPECT_EQ(uploads[1].bytes, 300000);
    EXPECT_EQ(uploads[2].command, "APPE");
    EXPECT_EQ(uploads[2].offset, 300000);
    EXPECT_EQ(uploads[2].bytes, data.size() - 300000);
}

TEST_F(FtpTlsUploadRunTest, RefusedCertificateEndsTheRunWithoutSendingThePassword)
{
    startServer(Kind::Vsftpd, m_certificates.selfSigned("localhost"));
    m_list.setPaths({makeLocal("a.bin", randomBytes(5000, 43))});
    m_answer = TrustStore::Answer::Refuse;

    EXPECT_EQ(run("", u"guest-pw"_qs), UploadRun::Outcome::Interrupted);
    // The refusal ends the run at once: no silent login retries, no
    // time-out prompt that would answer Continue by itself.
    EXPECT_TRUE(m_view.prompts.isEmpty());
    EXPECT_EQ(m_callbacks, 1);
    EXPECT_EQ(credentialsSeen(), 0u);
    EXPECT_TRUE(m_logins.empty());
    EXPECT_FALSE(m_list.at(0).done);
}
