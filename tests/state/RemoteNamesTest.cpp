// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/RemoteNames.h"
#include "state/ProfileFile.h"
#include "state/TlsServers.h"
#include "state/Windows1251.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

const std::string Cp1251Papka = "\xcf\xe0\xef\xea\xe0"; // "Папка" in Windows-1251
const QString Server = u"ftp.example.ru"_s;

// What a server's listings (and logins) teach, in turn, and what it then
// takes for typed paths.
TEST(RemoteNames, LearnsWindows1251OnlyFromNamesThatAreNotUtf8WithoutUtf8InFeat)
{
    using Names = std::vector<std::string>;
    struct Step
    {
        bool utf8Listed;
        Names names;
        bool windows1251;
    };
    const Step steps[] = {
        {false, {"pub", "incoming"}, false},   // ASCII says nothing
        {true, {Cp1251Papka}, false},          // UTF8 in FEAT: unaffected
        {false, {"pub", Cp1251Papka}, true},   // not UTF-8, no UTF8 in FEAT
        {false, {}, true},                     // a plain login keeps it
        {false, {"pub"}, true},                // so does ASCII
        {false, {"Папка", Cp1251Papka}, true}, // one name that is not UTF-8 is enough
        {false, {"Документы"}, false},         // UTF-8 beyond ASCII takes it back
        {false, {Cp1251Papka}, true},          //
        {true, {}, false},                     // a login with UTF8 in FEAT, too
    };
    RemoteNames names;
    int index = 0;
    for (const Step &step : steps) {
        names.learn(Server, step.utf8Listed, step.names);
        EXPECT_EQ(names.usesWindows1251(Server), step.windows1251) << "step " << index;
        EXPECT_EQ(names.toServer(Server, u"/Папка"_s),
                  step.windows1251 ? "/" + Cp1251Papka : std::string("/Папка"))
            << "step " << index;
        ++index;
    }
}

TEST(RemoteNames, ServersAreToldApartByHostAndPort)
{
    RemoteNames names;
    names.learn(u"ftp://FTP.Example.ru:2121/"_s, false, {Cp1251Papka});
    EXPECT_TRUE(names.usesWindows1251(u"ftp.example.ru:2121"_s));
    EXPECT_TRUE(names.usesWindows1251(u" ftpes://ftp.example.ru:2121"_s));
    EXPECT_FALSE(names.usesWindows1251(u"ftp.example.ru"_s));
    EXPECT_FALSE(names.usesWindows1251(u"other.example.ru:2121"_s));

    // An empty field is the local server, as for the FTP client.
    names.learn(u""_s, false, {Cp1251Papka});
    EXPECT_TRUE(names.usesWindows1251(u"127.0.0.1"_s));
    EXPECT_TRUE(names.usesWindows1251(u"127.0.0.1:21"_s));
}

TEST(RemoteNames, TypedPathsGoInWindows1251WhereTheCodePageHasTheirLetters)
{
    RemoteNames names;
    names.learn(Server, false, {Cp1251Papka});
    EXPECT_EQ(names.toServer(Server, u"/pub/Ёлка №1"_s), "/pub/\xa8\xeb\xea\xe0 \xb9\x31");
    // A character the code page lacks: the path stays UTF-8 as a whole.
    EXPECT_EQ(names.toServer(Server, u"/Папка/日本"_s), "/Папка/日本");
    EXPECT_EQ(names.toServer(u"other"_s, u"/Папка"_s), "/Папка");
}

// A chosen folder goes as the server listed it, also with a file name after
// it, but not for another folder that only begins like it, nor to another server.
TEST(RemoteNames, AChosenFolderGoesAsTheServersBytes)
{
    RemoteNames names;
    const std::string raw = "/" + Cp1251Papka + "/\x98x"; // 0x98 has no character
    names.choose(Server, u"/Папка/\uFFFDx"_s, raw);
    EXPECT_EQ(names.toServer(Server, u"/Папка/\uFFFDx"_s), raw);
    EXPECT_EQ(names.toServer(Server, u"/Папка/\uFFFDx/отчёт.txt"_s), raw + "/отчёт.txt");
    EXPECT_EQ(names.toServer(Server, u"/Папка/\uFFFDxy"_s), "/Папка/\uFFFDxy");
    EXPECT_EQ(names.toServer(u"other"_s, u"/Папка/\uFFFDx"_s), "/Папка/\uFFFDx");

    // What follows the chosen folder is typed text like any other.
    names.learn(Server, false, {Cp1251Papka});
    EXPECT_EQ(names.toServer(Server, u"/Папка/\uFFFDx/отчёт.txt"_s),
              raw + "/\xee\xf2\xf7\xb8\xf2.txt");
}

TEST(RemoteNames, Windows1251ServersAreKeptInTheSettingsFile)
{
    QTemporaryDir dir;
    const QString settings = dir.filePath(u"Settings.ini"_s);
    ProfileFile file(settings);
    ASSERT_TRUE(file.writeString(u"Options"_s, u"DestFolder"_s, u"/Папка"_s));
    {
        RemoteNames names(settings);
        names.learn(u"a.example.ru"_s, false, {Cp1251Papka});
        names.learn(u"b.example.ru:2121"_s, false, {Cp1251Papka});
        names.learn(u"c.example.ru"_s, true, {Cp1251Papka});
        TlsServers tls(settings); // the servers that used TLS, under the same keys
        tls.remember("B.Example.ru", 2121);
        tls.remember("::1", 990);
        tls.remember("b.example.ru", 2121);
    }
    EXPECT_EQ(file.readString(u"Options"_s, RemoteNames::SettingsKey),
              u"a.example.ru:21 b.example.ru:2121"_s);
    EXPECT_EQ(file.readString(u"Options"_s, u"DestFolder"_s), u"/Папка"_s);
    EXPECT_EQ(file.readString(u"Options"_s, TlsServers::SettingsKey),
              u"b.example.ru:2121 [::1]:990"_s);

    const TlsServers tlsRestarted(settings);
    EXPECT_TRUE(tlsRestarted.contains("b.example.ru", 2121));
    EXPECT_TRUE(tlsRestarted.contains("::1", 990));
    EXPECT_FALSE(tlsRestarted.contains("b.example.ru", 21));
    EXPECT_FALSE(tlsRestarted.contains("a.example.ru", 2121));
    RemoteNames restarted(settings);
    EXPECT_EQ(restarted.toServer(u"b.example.ru:2121"_s, u"/Папка"_s), "/" + Cp1251Papka);
    restarted.learn(u"a.example.ru"_s, true);
    EXPECT_EQ(RemoteNames(settings).usesWindows1251(u"a.example.ru"_s), false);
    EXPECT_EQ(RemoteNames(settings).usesWindows1251(u"b.example.ru:2121"_s), true);

    // The oldest servers go when the list would not fit a value of the file.
    for (int i = 0; i < 200; ++i)
        restarted.learn(u"host%1.example.ru"_s.arg(i), false, {Cp1251Papka});
    const QString kept = file.readString(u"Options"_s, RemoteNames::SettingsKey);
    EXPECT_LE(kept.size(), ProfileFile::MaxValueLength);
    EXPECT_TRUE(kept.endsWith(u"host199.example.ru:21"_s));
    EXPECT_FALSE(RemoteNames(settings).usesWindows1251(u"b.example.ru:2121"_s));
}

TEST(RemoteNames, Windows1251ReadsBackWhatItWrites)
{
    std::string all;
    for (int b = 1; b <= 0xFF; ++b) {
        if (b != 0x98) // the one byte without a character
            all += static_cast<char>(b);
    }
    const std::string utf8 = windows1251::toUtf8(all);
    EXPECT_TRUE(windows1251::isValidUtf8(utf8));
    EXPECT_EQ(windows1251::fromUtf8(utf8), all);
    EXPECT_EQ(windows1251::fromUtf8("\xd0"), std::nullopt);         // not UTF-8
    EXPECT_EQ(windows1251::fromUtf8("\xef\xbf\xbd"), std::nullopt); // U+FFFD
}

} // namespace
