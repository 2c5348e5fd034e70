// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/ProfileFile.h"
#include "state/StoredFile.h"
#include "state/TrustStore.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

namespace {

TEST(ProfileFile, AbsentKeyGivesDefaultPresentEmptyKeyGivesEmpty)
{
    const QByteArray text = "[Options]\r\nUser=\r\nServer=ftp.example.org\r\n";
    EXPECT_EQ(ProfileFile::lookup(text, "Options", "User"), QString());
    EXPECT_EQ(ProfileFile::lookup(text, "Options", "DestFolder"), std::nullopt);
    EXPECT_EQ(ProfileFile::lookup(text, "Other", "User"), std::nullopt);

    QTemporaryDir dir;
    ProfileFile missing(dir.filePath("Settings.ini"));
    EXPECT_EQ(missing.readString("Options", "User", "anonymous"), "anonymous");
}

TEST(ProfileFile, NamesIgnoreCaseValuesLoseBlanksAndOneQuotePair)
{
    const QByteArray text = "; comment\n[ options ]\n  uSeR =  \"  bob \"  \n"
                            "Server='host'\nDestFolder=\"\"x\"\"\n";
    EXPECT_EQ(ProfileFile::lookup(text, "Options", "User"), "  bob ");
    EXPECT_EQ(ProfileFile::lookup(text, "OPTIONS", "server"), "host");
    EXPECT_EQ(ProfileFile::lookup(text, "Options", "DestFolder"), "\"x\"");
}

TEST(ProfileFile, AByteOrderMarkBeforeTheFirstSectionIsReadPastAndKept)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Settings.ini");
    const QByteArray bom = "\xEF\xBB\xBF";
    writeFile(path, bom + "[Options]\r\nServer=ftp.example.org\r\nUser=bob\r\n");
    ProfileFile ini(path);
    EXPECT_EQ(ini.readString("Options", "Server"), "ftp.example.org");
    // A write lands in the same section rather than in a second one after it.
    ASSERT_TRUE(ini.writeString("Options", "User", "alice"));
    ASSERT_TRUE(ini.writeString("Options", "DestFolder", "/in"));
    EXPECT_EQ(readFile(path), bom + "[Options]\r\nServer=ftp.example.org\r\nUser=alice\r\n"
                                    "DestFolder=/in\r\n");
    // A mark alone, or a key on the very first line after it.
    EXPECT_EQ(ProfileFile::lookup(bom, "Options", "User"), std::nullopt);
    EXPECT_EQ(ProfileFile::withValue(bom, "Options", "User", "x"), bom + "[Options]\r\nUser=x\r\n");
}

TEST(ProfileFile, ValueIsCutAt2047Characters)
{
    const QByteArray text = "[Options]\nDestFolder=" + QByteArray(5000, 'z') + "\n";
    EXPECT_EQ(ProfileFile::lookup(text, "Options", "DestFolder")->size(), 2047);

    // A character of two UTF-16 units at the cut is left out whole.
    const QString smile = QString::fromUtf8("\xF0\x9F\x98\x80");
    const QByteArray straddling =
        "[Options]\nDestFolder=" + QByteArray(2046, 'z') + smile.toUtf8() + "tail\n";
    EXPECT_EQ(ProfileFile::lookup(straddling, "Options", "DestFolder"), QString(2046, 'z'));
    const QByteArray fitting =
        "[Options]\nDestFolder=" + QByteArray(2045, 'z') + smile.toUtf8() + "tail\n";
    EXPECT_EQ(ProfileFile::lookup(fitting, "Options", "DestFolder"), QString(2045, 'z') + smile);
}

TEST(ProfileFile, WritingOneKeyKeepsEveryOtherLine)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Settings.ini");
    writeFile(path, "; keep me\r\n[Other]\r\nServer=elsewhere\r\n\r\n[OPTIONS]\r\nserver=old\r\n"
                    "Foreign=1\r\n\r\n[Tail]\r\nx=y\r\n");
    ProfileFile ini(path);
    ASSERT_TRUE(ini.writeString("Options", "Server", "new"));
    ASSERT_TRUE(ini.writeString("Options", "User", ""));
    EXPECT_EQ(readFile(path), QByteArray("; keep me\r\n[Other]\r\nServer=elsewhere\r\n\r\n"
                                         "[OPTIONS]\r\nServer=new\r\nForeign=1\r\nUser=\r\n\r\n"
                                         "[Tail]\r\nx=y\r\n"));
    EXPECT_EQ(ini.readString("Options", "User", "anonymous"), QString());
    EXPECT_EQ(ini.readString("Other", "Server"), "elsewhere");
}

TEST(ProfileFile, FirstWriteCreatesFileAndSectionAndLineBreaksCannotInjectKeys)
{
    QTemporaryDir dir;
    ProfileFile ini(dir.filePath("Settings.ini"));
    ASSERT_TRUE(ini.writeString("Options", "Server", "srv"));
    ASSERT_TRUE(ini.writeString("Options", "DestFolder", "/a\r\nUser=evil"));
    EXPECT_EQ(ini.readString("Options", "Server"), "srv");
    EXPECT_EQ(ini.readString("Options", "User", "anonymous"), "anonymous");
    EXPECT_EQ(ini.readString("Options", "DestFolder"), "/a  User=evil");
}

TEST(ProfileFile, NewKeyAfterALastLineEndingInABareCrGetsALineOfItsOwn)
{
    // Lines end only at LF; a last line ending in a bare CR (a file cut off or
    // edited elsewhere) must neither swallow the new key nor gain a CR.
    const QByteArray header =
        ProfileFile::withValue("[Options]\r", "Options", "DestFolder", "/pub");
    EXPECT_EQ(header, QByteArray("[Options]\r\nDestFolder=/pub\r\n"));
    EXPECT_EQ(ProfileFile::lookup(header, "Options", "DestFolder"), "/pub");

    const QByteArray inSection =
        ProfileFile::withValue("[Options]\r\nServer=srv\r", "Options", "User", "bob");
    EXPECT_EQ(ProfileFile::lookup(inSection, "Options", "User"), "bob");
    EXPECT_EQ(ProfileFile::lookup(inSection, "Options", "Server"), "srv");

    const QByteArray newSection =
        ProfileFile::withValue("[Other]\r\nx=1\r", "Options", "User", "bob");
    EXPECT_EQ(ProfileFile::lookup(newSection, "Options", "User"), "bob");
    EXPECT_EQ(ProfileFile::lookup(newSection, "Other", "x"), "1");
}

TEST(ProfileFile, RefusedWriteReportsFailureAndKeepsTheOldFile)
{
    QTemporaryDir dir;
    ProfileFile ini(dir.filePath("missing/dir/Settings.ini"));
    EXPECT_FALSE(ini.writeString("Options", "Server", "x"));
}

// Both files are rewritten from what they held: one that cannot be read must
// stay, or it would come back holding one key. Tests run as root, who reads
// any mode: a folder in the file's place, and a link to a file failing with EIO.
TEST(StoredFile, AnUnreadableFileIsNeverWrittenOverAndReportedOncePerFile)
{
    QStringList reported;
    StoredFile::setUnreadableReport([&](const QString &path) { reported << path; });
    const std::pair<const char *, std::function<bool(const QString &)>> writers[] = {
        {"Settings.ini",
         [](const QString &path) { return ProfileFile(path).writeString("Options", "User", "u"); }},
        {"Trusted.txt",
         [](const QString &path) {
             return TrustStore(path).trustAlways("host", 21, QString(64, QLatin1Char('A')));
         }},
    };
    for (const auto &[name, write] : writers) {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QString::fromLatin1(name));
        ASSERT_TRUE(QDir().mkpath(folder + "/inside"));
        const QString ioError = dir.filePath(QStringLiteral("io-") + QString::fromLatin1(name));
        ASSERT_TRUE(QFile::link("/proc/self/mem", ioError));
        for (const QString &path : {folder, ioError}) {
            SCOPED_TRACE(path.toStdString());
            EXPECT_FALSE(write(path));
            EXPECT_FALSE(write(path));
            EXPECT_EQ(QFileInfo(path).isDir(), path == folder);
            EXPECT_EQ(QFileInfo(path).symLinkTarget(), path == ioError ? "/proc/self/mem" : "");
            EXPECT_TRUE(QFileInfo::exists(folder + "/inside"));
            EXPECT_EQ(
                QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks).size(), 0)
                << "a temporary file was left";
        }
        EXPECT_EQ(reported, QStringList({folder, ioError}));
        reported.clear();
        EXPECT_TRUE(write(dir.filePath("new"))) << "a missing file is still created";
    }
    StoredFile::setUnreadableReport({});
}

TEST(StoredFile, TrustedTxtUnreadableAtStartKeepsItsLinesOnceItReads)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Trusted.txt");
    ASSERT_TRUE(QDir().mkpath(path));
    TrustStore store(path);
    ASSERT_TRUE(QDir().rmdir(path));
    const QString old(64, QLatin1Char('B')), fresh(64, QLatin1Char('C'));
    writeFile(path, ("old.example 990 " + old + "\r\n").toUtf8());

    EXPECT_TRUE(store.trustAlways("new.example", 21, fresh));
    const TrustStore reread(path);
    EXPECT_EQ(reread.storedFingerprint("old.example", 990), old);
    EXPECT_EQ(reread.storedFingerprint("new.example", 21), fresh);
}

} // namespace
