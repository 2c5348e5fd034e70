// SPDX-License-Identifier: GPL-3.0-or-later
// Parsers of the data-carrying replies and of the server field: the parts of
// the dialogue where a server's (or user's) text turns into numbers.

#include "ftp/FtpParse.h"
#include "ftp/FtpClient.h"
#include "ftp/Hasher.h"

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

TEST(FtpParse, SizeFromMlstAndListingLines)
{
    EXPECT_TRUE(mlstOffersSize(parseFeatures({211, "211-\n MLST type*;Size;modify*;\n211 End"})));
    EXPECT_FALSE(mlstOffersSize(parseFeatures({211, "211-\n MLST type*;sized;\n SIZE\n211 End"})));

    EXPECT_EQ(parseMlstSize({250, "250-Listing /a\n type=file;Size=7; /my size=9;\n250 End"}), 7);
    EXPECT_FALSE(parseMlstSize({250, "250-\n type=file;modify=2024; /size=3\n250 End"}));
    EXPECT_FALSE(parseMlstSize({250, "250 size=5"}));
    EXPECT_FALSE(parseMlstSize({550, "550-\n size=5; /a\n550 End"}));

    // The name and size read, or "-" for a line that names no file.
    const std::pair<const char *, const char *> lines[] = {
        {"-rw-r--r--   1 ftp ftp   12345 Jan 01 10:00 a b.bin", "a b.bin 12345"},
        {"-rw-r--r-- 1 ftp ftp 5 Mar  3  2021  lead", " lead 5"},
        {"-rw-r--r-- 1 ftp 5368709120 Dec 31 23:59 no group", "no group 5368709120"},
        {"-rw-r--r-- 1 0 0 9 2024-01-15 10:00 iso", "iso 9"},
        {"-rw-r--r-- 1 Jan 1 2020 7 Feb 2 2021 odd owner", "odd owner 7"},
        {"01-16-24  09:15PM                 4321 x y.txt", "x y.txt 4321"},
        {"01/16/2024  21:15  0 empty", "empty 0"},
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 01 10:00 folder", "-"},
        {"01-16-24  09:15PM       <DIR>          d", "-"},
        {"total 12", "-"},
        {"-rw-r--r-- 1 ftp ftp 12 Jan 01 10:00", "-"},
        {"-rw-r--r-- 1 ftp ftp -1 Jan 01 10:00 neg", "-"},
    };
    for (const auto &[line, expected] : lines) {
        const auto file = parseListedFile(line);
        EXPECT_EQ(file ? file->name + " " + std::to_string(file->size) : "-", expected) << line;
    }
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

TEST(FtpParse, HashMethodsBestFirst)
{
    using A = HashAlgorithm;
    // proftpd 1.3.8 with mod_digest: SHA-1 selected, so SHA-256 is asked for.
    const FtpReply proftpd{211, "211-Features:\n HASH CRC32;MD5;SHA-1*;SHA-256;SHA-512;\n MD5\n"
                                " XCRC\n XMD5\n XSHA\n XSHA1\n XSHA256\n XSHA512\n211 End"};
    EXPECT_EQ(hashMethods(parseFeatures(proftpd)),
              (std::vector<HashMethod>{{A::Sha256, "HASH", true},
                                       {A::Sha1, "HASH", false},
                                       {A::Md5, "HASH", true},
                                       {A::Crc32, "HASH", true},
                                       {A::Sha256, "XSHA256", false},
                                       {A::Sha1, "XSHA1", false},
                                       {A::Md5, "XMD5", false},
                                       {A::Crc32, "XCRC", false}}));
    // Only algorithms the client cannot compute: the X commands are next.
    EXPECT_EQ(hashMethods(parseFeatures({211, "211-\n HASH SHA-512*;SHA-384\n XMD5\n211 End"})),
              (std::vector<HashMethod>{{A::Md5, "XMD5", false}}));
    EXPECT_TRUE(hashMethods(parseFeatures({211, "211-\n HASHES SHA-256\n SIZE\n211 End"})).empty());
}

TEST(FtpParse, HashReplies)
{
    const std::string sha = "670fa895baadd9965be011029326a08cabf611c8cda9023e415d232b2b4483a8";
    const std::string shaUpper = "670FA895BAADD9965BE011029326A08CABF611C8CDA9023E415D232B2B4483A8";
    const std::string proftpd =
        "213-Computing SHA-256 digest\n Computing...\n213 SHA-256 0-100000 " + shaUpper;
    const auto h = parseHashReply({213, proftpd + " /up/a b.bin"});
    ASSERT_TRUE(h);
    EXPECT_EQ(h->algorithm, "SHA-256");
    EXPECT_EQ(h->start, 0);
    EXPECT_EQ(h->end, 100000);
    EXPECT_EQ(h->hex, sha);
    for (const char *text : {"213 SHA-256 0-100000", "213 SHA-256 5-3 ab f", "213 SHA-256 0-x ab f",
                             "213 SHA-256 0-1 xyz f", "213 SHA-256 0-99999999999999999999 ab f"})
        EXPECT_FALSE(parseHashReply({213, text})) << text;

    EXPECT_EQ(parseXHashReply({250, "250-Computing SHA256 digest\n250 " + shaUpper}, 64), sha);
    EXPECT_EQ(parseXHashReply({213, "213 a.bin 1EBF9C49"}, 8), "1ebf9c49");
    EXPECT_FALSE(parseXHashReply({250, "250 1EBF9C4"}, 8)) << "a digest a digit short";
    EXPECT_FALSE(parseXHashReply({550, "550 1EBF9C49: No such file"}, 8));
}

TEST(Hasher, KnownDigestsFedInPieces)
{
    struct Case
    {
        HashAlgorithm algorithm;
        const char *of123456789;
        const char *ofNothing;
    };
    for (const Case &c : {
             Case{HashAlgorithm::Sha256,
                  "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225",
                  "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
             Case{HashAlgorithm::Sha1, "f7c3bc1d808e04732adf679965ccc34ca7ae3441",
                  "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
             Case{HashAlgorithm::Md5, "25f9e794323b453885f5181f1b624d0b",
                  "d41d8cd98f00b204e9800998ecf8427e"},
             Case{HashAlgorithm::Crc32, "cbf43926", "00000000"},
         }) {
        Hasher hasher(c.algorithm);
        hasher.update("1234", 4);
        hasher.update("", 0);
        hasher.update("56789", 5);
        const std::string digest = hasher.hexDigest();
        EXPECT_EQ(digest, c.of123456789) << hashAlgorithmName(c.algorithm);
        EXPECT_EQ(digest.size(), hashHexDigits(c.algorithm));
        EXPECT_EQ(hasher.hexDigest(), c.ofNothing) << "a digest starts the next afresh";
        hasher.update("x", 1);
        hasher.reset();
        EXPECT_EQ(hasher.hexDigest(), c.ofNothing);
    }
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
