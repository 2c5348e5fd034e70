// SPDX-License-Identifier: GPL-3.0-or-later
// How the server field's form decides what is sent before the login, as exact
// transcripts against a scripted server: a bare field asks FEAT first and
// stays plain when no AUTH TLS is offered or the offer is refused; ftpes://
// never sends USER or PASS unless TLS was set up; once "234" has come nothing
// goes on in clear, and bytes sent in clear after it are refused.

#include "ScriptedFtpServer.h"
#include "ftp/FtpClient.h"
#include "ftp/FtpParse.h"
#include "support/FtpTestClient.h"

#include <gtest/gtest.h>

using namespace ftp;
using Strings = std::vector<std::string>;

namespace {

// Short timeouts: a scripted failure must not cost the suite seconds.
constexpr int kQuickMs = 2000;

std::string bareField(const ScriptedFtpServer &server)
{
    return "127.0.0.1:" + std::to_string(server.port());
}

bool hasLogin(const Strings &transcript)
{
    return hasLine(transcript, "USER") || hasLine(transcript, "PASS");
}

} // namespace

TEST(FtpTlsScripted, ServerFieldForms)
{
    struct Case
    {
        const char *field;
        const char *host;
        uint16_t port;
        TlsMode tls;
    };
    for (const Case &c : {
             Case{"ftp.example.com", "ftp.example.com", 21, TlsMode::Auto},
             Case{"127.0.0.1:2121", "127.0.0.1", 2121, TlsMode::Auto},
             Case{"ftp://ftp.example.com", "ftp.example.com", 21, TlsMode::Plain},
             Case{"FTP://[::1]:990/", "::1", 990, TlsMode::Plain},
             Case{"ftpes://ftp.example.com", "ftp.example.com", 21, TlsMode::Explicit},
             Case{" FTPES://host:2121 ", "host", 2121, TlsMode::Explicit},
             Case{"ftps://ftp.example.com", "ftp.example.com", 990, TlsMode::Implicit},
             Case{"ftps://ftp.example.com:2990/", "ftp.example.com", 2990, TlsMode::Implicit},
             Case{"ftps://[::1]", "::1", 990, TlsMode::Implicit},
             Case{"ftps://", "127.0.0.1", 990, TlsMode::Implicit},
         }) {
        const auto address = parseServerField(c.field);
        ASSERT_TRUE(address) << c.field;
        EXPECT_EQ(address->host, c.host) << c.field;
        EXPECT_EQ(address->port, c.port) << c.field;
        EXPECT_EQ(address->tls, c.tls) << c.field;
    }
    for (const char *field : {"sftp://host", "ftps:/host", "ftpes://host:0", "http://host"})
        EXPECT_FALSE(parseServerField(field)) << field;
}

TEST(FtpTlsScripted, BareFieldWithoutAuthTlsStaysPlain)
{
    struct Case
    {
        const char *what;
        Strings replies; ///< after the greeting, one for each line the client sends
        std::string user;
        bool size; ///< SIZE offered in FEAT
        Strings transcript;
    };
    const Case cases[] = {
        // FEAT before the login; its answer stands, so no second FEAT.
        {"FEAT without AUTH TLS",
         {"211-Features:\r\n SIZE\r\n UTF8\r\n211 End", "331 Password", "230 ok", "200 UTF8 on"},
         "bob",
         true,
         {"FEAT", "USER bob", "PASS pw", "OPTS UTF8 ON", "QUIT"}},
        // A server without FEAT logs in as before.
        {"no FEAT",
         {"500 FEAT not understood", "230 No password needed"},
         "",
         false,
         {"FEAT", "USER anonymous", "QUIT"}},
        // One that wants a login before FEAT is asked again after it.
        {"login before FEAT",
         {"530 Please login with USER and PASS.", "331 Password", "230 ok",
          "211-Features:\r\n SIZE\r\n211 End"},
         "bob",
         true,
         {"FEAT", "USER bob", "PASS pw", "FEAT", "QUIT"}},
    };
    auto service = FtpService::open(testOptions(kQuickMs));
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        ScriptedFtpServer server([&k](ScriptedPeer &peer) {
            peer.send("220 Ready\r\n");
            for (const std::string &reply : k.replies)
                peer.answer(reply);
            peer.readLine(); // QUIT
        });
        std::string error;
        auto c = FtpConnection::connect(*service, bareField(server), k.user,
                                        k.user.empty() ? "" : "pw", &error);
        ASSERT_TRUE(c) << error;
        EXPECT_EQ(c->security(), Security::Plain);
        EXPECT_EQ(c->hasFeature("SIZE"), k.size);
        c.reset();
        ASSERT_TRUE(server.waitDone());
        EXPECT_EQ(server.transcript(), k.transcript);
    }
}

TEST(FtpTlsScripted, NoCredentialsInClearWhenTlsIsRequiredOrOffered)
{
    const std::string password = "Secr3t-pw";
    auto service = FtpService::open(testOptions(kQuickMs));

    // ftpes:// against servers without TLS: vsftpd without ssl_enable,
    // pyftpdlib's plain handler and others answer AUTH in their ways.
    for (const char *refusal : {"530 Please login with USER and PASS.", "500 Unknown command.",
                                "502 Command not implemented."}) {
        ScriptedFtpServer server([refusal](ScriptedPeer &peer) {
            peer.send("220 Ready\r\n");
            peer.answer(refusal);
            peer.readLine(); // whatever comes next must not be the login
        });
        std::string error;
        auto c = FtpConnection::connect(*service, "ftpes://" + bareField(server), "bob", password,
                                        &error);
        EXPECT_FALSE(c);
        EXPECT_NE(error.find("does not offer TLS"), std::string::npos) << error;
        EXPECT_NE(error.find(refusal), std::string::npos) << error;
        ASSERT_TRUE(server.waitDone());
        EXPECT_EQ(server.transcript(), Strings{"AUTH TLS"}) << refusal;
    }

    // Bytes after "234" that come before the handshake were sent in clear
    // and could be anybody's: the connection ends there.
    ScriptedFtpServer injected([](ScriptedPeer &peer) {
        peer.send("220 Ready\r\n");
        peer.readLine();
        peer.send("234 Proceed\r\n230 Logged in (injected)\r\n");
        peer.readLine();
    });
    std::string error;
    auto c =
        FtpConnection::connect(*service, "ftpes://" + bareField(injected), "bob", password, &error);
    EXPECT_FALSE(c);
    EXPECT_NE(error.find("in clear"), std::string::npos) << error;
    ASSERT_TRUE(injected.waitDone());
    EXPECT_FALSE(hasLogin(injected.transcript()));

    // A server that says "234" and then does not speak TLS at all: never a
    // fall-back to clear, whether ftpes:// or FEAT's offer led to AUTH TLS.
    for (const bool bare : {false, true}) {
        ScriptedFtpServer noHandshake([bare](ScriptedPeer &peer) {
            peer.send("220 Ready\r\n");
            if (bare)
                peer.answer("211-Features:\r\n AUTH TLS\r\n211 End");
            peer.answer("234 Proceed");
            peer.send("this is no TLS record\r\n");
            peer.readLine();
        });
        c = FtpConnection::connect(*service, (bare ? "" : "ftpes://") + bareField(noHandshake),
                                   "bob", password, &error);
        EXPECT_FALSE(c);
        EXPECT_NE(error.find("TLS handshake"), std::string::npos) << error;
        EXPECT_EQ(error.find(password), std::string::npos);
        ASSERT_TRUE(noHandshake.waitDone());
        EXPECT_FALSE(hasLogin(noHandshake.transcript()));
    }
}

TEST(FtpTlsScripted, BareFieldWhoseAuthTlsIsRefusedGoesOnInClear)
{
    // FEAT offers TLS, AUTH TLS is refused (pure-ftpd without a certificate
    // says 500): the same connection logs in as if TLS had not been offered.
    // "AUTH TLS;TLS-C;SSL" is how some servers list it.
    auto service = FtpService::open(testOptions(kQuickMs));
    for (const auto &[feat, refusal] : {
             std::pair{"211-Features:\r\n AUTH TLS\r\n PBSZ\r\n PROT\r\n211 End",
                       "500 This security scheme is not implemented"},
             std::pair{"211-Features:\r\n AUTH TLS;TLS-C;SSL;TLS-P;\r\n211 End", "534 Not now"},
             std::pair{"211-Features:\r\n AUTH TLS\r\n211 End", "431 Unavailable"},
         }) {
        ScriptedFtpServer server([feat, refusal](ScriptedPeer &peer) {
            peer.send("220 Ready\r\n");
            peer.answer(feat);
            peer.answer(refusal);
            peer.answer("331 Password");
            peer.answer("230 ok");
            peer.readLine(); // QUIT
        });
        std::string error;
        auto c = FtpConnection::connect(*service, bareField(server), "bob", "pw", &error);
        ASSERT_TRUE(c) << refusal << ": " << error;
        EXPECT_EQ(c->security(), Security::Plain);
        c.reset();
        ASSERT_TRUE(server.waitDone());
        EXPECT_EQ(server.transcript(), (Strings{"FEAT", "AUTH TLS", "USER bob", "PASS pw", "QUIT"}))
            << refusal;
    }

    // 421 closes the connection: nothing to go on with.
    ScriptedFtpServer closing([](ScriptedPeer &peer) {
        peer.send("220 Ready\r\n");
        peer.answer("211-Features:\r\n AUTH TLS\r\n211 End");
        peer.answer("421 Service not available");
        peer.readLine();
    });
    std::string error;
    EXPECT_FALSE(FtpConnection::connect(*service, bareField(closing), "bob", "pw", &error));
    ASSERT_TRUE(closing.waitDone());
    EXPECT_FALSE(hasLogin(closing.transcript()));
}
