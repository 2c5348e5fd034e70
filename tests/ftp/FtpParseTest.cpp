// Parsers of the data-carrying replies and of the server field: the parts of
// the dialogue where a server's (or user's) text turns into numbers.

#include "ftp/FtpParse.h"
#include "ftp/FtpClient.h"

#include <gtest/gtest.h>

using namespace ftp;

TEST(FtpParse, PasvReplyInTheShapesServersUse)
{
    struct Case
    {
        const char *text;
        std::array<uint8_t, 4> address;
        uint16_t port;
    };
    for (const Case &c : {
             Case{"227 Entering Passive Mode (127,0,0,1,195,80).", {127, 0, 0, 1}, 50000},
             Case{"227 Entering Passive Mode 10,1,2,3,0,21", {10, 1, 2, 3}, 21},
             Case{"227 =192,168,0,9,255,255", {192, 168, 0, 9}, 65535},
             Case{"227-Multi\n227 (1,2,3,4,5,6)", {1, 2, 3, 4}, 5 * 256 + 6},
         }) {
        const auto endpoint = parsePasvReply(c.text);
        ASSERT_TRUE(endpoint) << c.text;
        EXPECT_EQ(endpoint->address, c.address) << c.text;
        EXPECT_EQ(endpoint->port, c.port) << c.text;
    }
}

TEST(FtpParse, PasvReplyRejectsBadNumbers)
{
    for (const char *text :
         {"227 Entering Passive Mode", "227 (127,0,0,1,195)", "227 (256,0,0,1,1,1)",
          "227 (1,2,3,4,5,256)", "227 (1,2,3,4,0,0)", "227 (1,2,3,4,5,6789)", "227 (1,2,,3,4,5,6)",
          "227 (1111,2,3,4,5,6)", ""}) {
        EXPECT_FALSE(parsePasvReply(text)) << text;
    }
}

TEST(FtpParse, EpsvReplyAnyDelimiter)
{
    EXPECT_EQ(parseEpsvReply("229 Entering Extended Passive Mode (|||6446|)"), 6446);
    EXPECT_EQ(parseEpsvReply("229 ok (!!!65535!)"), 65535);
    EXPECT_EQ(parseEpsvReply("229 (a) then (###1#)"), 1);
    for (const char *text : {"229 Entering Extended Passive Mode", "229 (|||0|)", "229 (|||65536|)",
                             "229 (||6446|)", "229 (|!|6446|)", "229 (|||6446!)", "229 (|||6446|",
                             "229 (|||x|)", "229 (111121)", "229 (   5 )", "229 ("}) {
        EXPECT_FALSE(parseEpsvReply(text)) << text;
    }
}

TEST(FtpParse, SizeReply)
{
    EXPECT_EQ(parseSizeReply({213, "213 0"}), 0);
    EXPECT_EQ(parseSizeReply({213, "213 5368709120"}), 5368709120LL);
    EXPECT_EQ(parseSizeReply({213, "213 123 "}), 123);
    EXPECT_FALSE(parseSizeReply({550, "550 No such file"}));
    EXPECT_FALSE(parseSizeReply({213, "213 "}));
    EXPECT_FALSE(parseSizeReply({213, "213 12a"}));
    EXPECT_FALSE(parseSizeReply({213, "213 -5"}));
    EXPECT_FALSE(parseSizeReply({213, "213 99999999999999999999"}));
    EXPECT_FALSE(parseSizeReply({213, "213-1\n213 2"}));
}

TEST(FtpParse, FeatureList)
{
    const FtpReply feat{211, "211-Features:\n EPRT\n EPSV\n MDTM\n MLST type*;size*;\n"
                             " REST STREAM\n SIZE\n utf8\n211 End"};
    const auto features = parseFeatures(feat);
    EXPECT_TRUE(featureListed(features, "SIZE"));
    EXPECT_TRUE(featureListed(features, "size"));
    EXPECT_TRUE(featureListed(features, "UTF8"));
    EXPECT_TRUE(featureListed(features, "REST STREAM"));
    EXPECT_TRUE(featureListed(features, "MLST"));
    EXPECT_TRUE(featureListed(features, "REST")) << "a single word matches a line's first word";
    EXPECT_FALSE(featureListed(features, "REST RANGE"));
    EXPECT_FALSE(featureListed(features, "SIZ"));
    EXPECT_FALSE(featureListed(features, "FEATURES:"));
    EXPECT_FALSE(featureListed(features, "END"));
    EXPECT_FALSE(featureListed(features, "MLSD"));
    EXPECT_FALSE(featureListed(features, ""));
    EXPECT_TRUE(parseFeatures({500, "500 Unknown command"}).empty());
    EXPECT_TRUE(parseFeatures({211, "211 No features"}).empty());
}

TEST(FtpParse, ActiveModeCommands)
{
    EXPECT_EQ(formatEprt(false, "127.0.0.1", 5000), "EPRT |1|127.0.0.1|5000|");
    EXPECT_EQ(formatEprt(true, "::1", 65535), "EPRT |2|::1|65535|");
    EXPECT_EQ(formatPort({127, 0, 0, 1}, 5000), "PORT 127,0,0,1,19,136");
    EXPECT_EQ(formatPort({10, 0, 0, 255}, 65535), "PORT 10,0,0,255,255,255");
}

TEST(FtpParse, CommandLinesCannotCarryASecondCommand)
{
    EXPECT_TRUE(isSafeCommandLine("CWD /pub/Новая папка"));
    EXPECT_FALSE(isSafeCommandLine("CWD /x\r\nDELE /y"));
    EXPECT_FALSE(isSafeCommandLine("CWD /x\nDELE /y"));
    EXPECT_FALSE(isSafeCommandLine(std::string("CWD /x\0y", 8)));
    EXPECT_FALSE(isSafeCommandLine(""));
}

TEST(FtpParse, ServerField)
{
    struct Case
    {
        const char *field;
        const char *host;
        uint16_t port;
    };
    for (const Case &c : {
             Case{"", "127.0.0.1", 21},
             Case{"   ", "127.0.0.1", 21},
             Case{"ftp.example.com", "ftp.example.com", 21},
             Case{" ftp.example.com ", "ftp.example.com", 21},
             Case{"ftp.example.com:2121", "ftp.example.com", 2121},
             Case{"127.0.0.1:65535", "127.0.0.1", 65535},
             Case{":2121", "127.0.0.1", 2121},
             Case{"[::1]:2121", "::1", 2121},
             Case{"[::1]", "::1", 21},
             Case{"::1", "::1", 21},
             Case{"fe80::1:2:3", "fe80::1:2:3", 21},
             Case{"ftp://ftp.example.com/", "ftp.example.com", 21},
             Case{"FTP://[::1]:990", "::1", 990},
         }) {
        const auto address = parseServerField(c.field);
        ASSERT_TRUE(address) << '"' << c.field << '"';
        EXPECT_EQ(address->host, c.host) << c.field;
        EXPECT_EQ(address->port, c.port) << c.field;
    }
    for (const char *field :
         {"host:0", "host:65536", "host:", "host:12x", "host:-1", "[::1", "[::1]x",
          "[::1]:", "[::1]:99999", "[host]:21", "a b", "user@host", "host/path", "[]:21", "::1]"}) {
        EXPECT_FALSE(parseServerField(field)) << '"' << field << '"';
    }
}
