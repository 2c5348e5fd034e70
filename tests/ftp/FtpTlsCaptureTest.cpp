// SPDX-License-Identifier: GPL-3.0-or-later
// What an eavesdropper on the line sees of a TLS session: the client talks
// to a forwarding proxy (TcpProxy) that keeps every byte of the control and
// the data connections. With TLS neither the password nor any piece of the
// uploaded file may be in there; the same session in plain FTP shows both,
// which proves the capture sees what it should.

#include "FtpTestFiles.h"
#include "TcpProxy.h"
#include "ftp/FtpClient.h"
#include "support/FtpTestServer.h"
#include "support/TestCertificates.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace ftp;
using Kind = FtpTestServer::Kind;
using Tls = FtpServerOptions::Tls;

namespace {

constexpr int kPassivePorts = 4;

struct CaptureCase
{
    Kind kind;
    Tls tls;
    const char *scheme;
};

std::string caseName(const testing::TestParamInfo<CaptureCase> &info)
{
    const char *mode = info.param.tls == Tls::Off        ? "plain"
                       : info.param.tls == Tls::Implicit ? "implicit"
                                                         : "explicit";
    return std::string(FtpTestServer::kindName(info.param.kind)) + "_" + mode;
}

// How many of `probes` pieces of `secret` occur in any captured stream.
int piecesFound(const std::vector<std::string> &streams, const std::string &secret, int probes,
                std::size_t pieceLen)
{
    int found = 0;
    for (int i = 0; i < probes; ++i) {
        const std::size_t at = (secret.size() - pieceLen) * static_cast<std::size_t>(i) /
                               static_cast<std::size_t>(probes > 1 ? probes - 1 : 1);
        const std::string piece = secret.substr(at, pieceLen);
        for (const std::string &s : streams) {
            if (s.find(piece) != std::string::npos) {
                ++found;
                break;
            }
        }
    }
    return found;
}

std::size_t totalBytes(const std::vector<std::string> &streams)
{
    std::size_t total = 0;
    for (const std::string &s : streams)
        total += s.size();
    return total;
}

class FtpTlsCaptureTest : public testing::TestWithParam<CaptureCase>
{
};

} // namespace

TEST_P(FtpTlsCaptureTest, EavesdropperSeesNeitherPasswordNorFile)
{
    const CaptureCase c = GetParam();
    TestCertificates certificates;
    ASSERT_TRUE(certificates.isValid()) << certificates.error();
    const auto cert = certificates.signedByCa("localhost");
    ASSERT_FALSE(cert.certFile.empty()) << certificates.error();

    const uint16_t firstPassive = TcpProxy::freePortRange(kPassivePorts);
    ASSERT_NE(firstPassive, 0);
    const std::string password = "Very-Secret-Pa55word";
    FtpServerOptions opts;
    opts.password = password; // pyftpdlib's; vsftpd takes any for anonymous
    opts.tls = c.tls;
    opts.certFile = cert.certFile;
    opts.keyFile = cert.keyFile;
    opts.passivePortMin = firstPassive;
    opts.passivePortMax = static_cast<uint16_t>(firstPassive + kPassivePorts - 1);
    auto server = FtpTestServer::start(c.kind, opts);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    TcpProxy proxy(server->port(), opts.passivePortMin, opts.passivePortMax);
    ASSERT_TRUE(proxy.isValid());

    FtpService::Options o;
    o.passiveFirst = true;
    o.caFile = certificates.caFile();
    auto service = FtpService::open(o);
    std::string error;
    const std::string field =
        c.scheme + std::string("127.0.0.2:") + std::to_string(proxy.listenPort());
    auto connection = FtpConnection::connect(*service, field, server->user(), password, &error);
    ASSERT_TRUE(connection) << error;
    EXPECT_EQ(connection->security(), c.tls == Tls::Off        ? Security::Plain
                                      : c.tls == Tls::Implicit ? Security::ImplicitTls
                                                               : Security::ExplicitTls);

    QTemporaryDir local;
    const std::string bytes = randomBytes(256 * 1024 + 17, 31);
    const QString file = local.filePath("secret.bin");
    ASSERT_TRUE(writeFile(file, bytes));
    ASSERT_TRUE(connection->putFile(file.toStdString(), "/upload/secret.bin"))
        << connection->lastError();
    EXPECT_EQ(readFile(server->localPath("/upload/secret.bin")), bytes);
    auto list = connection->openTransfer("LIST /upload", Direction::Download);
    ASSERT_TRUE(list) << connection->lastError();
    char buffer[kTransferBlockBytes];
    while (list->read(buffer, sizeof buffer) > 0) {
    }
    EXPECT_TRUE(list->finish());
    connection.reset();
    service.reset();

    // Control plus two data connections went through the proxy, carrying at
    // least the file.
    const auto streams = proxy.streams();
    EXPECT_GE(proxy.connections(), 3);
    EXPECT_GE(totalBytes(streams), bytes.size());

    const int probes = 64;
    const int filePieces = piecesFound(streams, bytes, probes, 24);
    const int passwordSeen = piecesFound(streams, password, 1, password.size());
    if (c.tls == Tls::Off) {
        EXPECT_EQ(filePieces, probes) << "the capture must see plain data";
        // vsftpd without TLS asks anonymous for no password at all.
        if (c.kind == Kind::Pyftpd) {
            EXPECT_EQ(passwordSeen, 1);
        }
    } else {
        EXPECT_EQ(filePieces, 0);
        EXPECT_EQ(passwordSeen, 0);
        EXPECT_EQ(piecesFound(streams, "USER ", 1, 5), 0) << "no command in clear after AUTH";
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpTlsCaptureTest,
                         testing::Values(CaptureCase{Kind::Pyftpd, Tls::Off, "ftp://"},
                                         CaptureCase{Kind::Pyftpd, Tls::Explicit, ""},
                                         CaptureCase{Kind::Pyftpd, Tls::Implicit, "ftps://"},
                                         CaptureCase{Kind::Vsftpd, Tls::Off, "ftp://"},
                                         CaptureCase{Kind::Vsftpd, Tls::Explicit, "ftpes://"},
                                         CaptureCase{Kind::Vsftpd, Tls::Implicit, "ftps://"}),
                         caseName);
