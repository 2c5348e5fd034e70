// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/ListFile.h"
#include "state/UploadList.h"
#include "support/TestFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(ListFile, EveryLineBreakStyleEndsOneLine)
{
    const QStringList expected{"/a/one", "/b/two", "/c/three"};
    EXPECT_EQ(ListFile::parse("/a/one\r\n/b/two\r\n/c/three\r\n"), expected);
    EXPECT_EQ(ListFile::parse("/a/one\n/b/two\n/c/three\n"), expected);
    EXPECT_EQ(ListFile::parse("/a/one\r/b/two\r/c/three\r"), expected);
    EXPECT_EQ(ListFile::parse("/a/one\r\n/b/two\n/c/three"), expected);
    // LF followed by CR is two line ends: the second line is empty.
    EXPECT_EQ(ListFile::parse("a\n\rb"), (QStringList{"a", "", "b"}));
}

TEST(ListFile, EmptyLinesAndDuplicatesAreKeptNothingTrimmed)
{
    EXPECT_EQ(ListFile::parse("a\r\n\r\n a \r\na\r\n"), (QStringList{"a", "", " a ", "a"}));
    EXPECT_EQ(ListFile::parse(""), QStringList{});
    EXPECT_EQ(ListFile::parse("\r\n"), QStringList{""});
}

TEST(ListFile, TextEndsAtFirstNul)
{
    EXPECT_EQ(ListFile::parse(QByteArray("a\r\nb\0c\r\nd\r\n", 11)), (QStringList{"a", "b"}));
    EXPECT_EQ(ListFile::parse(QByteArray("\0a\r\n", 4)), QStringList{});
}

TEST(ListFile, CyrillicPathsSurviveARoundTrip)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Files.txt");
    const QStringList paths{u"/home/пользователь/отчёт 1.zip"_qs, "/tmp/x y", ""};
    ASSERT_TRUE(ListFile::write(path, paths));
    EXPECT_EQ(readFile(path), (u"/home/пользователь/отчёт 1.zip\r\n/tmp/x y\r\n\r\n"_qs).toUtf8());
    QStringList back;
    ASSERT_TRUE(ListFile::read(path, &back));
    EXPECT_EQ(back, paths);
}

TEST(ListFile, EmptyListIsAnEmptyFileAndLoneLfIsRewrittenAsCrLf)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Files.txt");
    writeFile(path, "a\nb\n");
    QStringList paths;
    ASSERT_TRUE(ListFile::read(path, &paths));
    ASSERT_TRUE(ListFile::write(path, paths));
    EXPECT_EQ(readFile(path), QByteArray("a\r\nb\r\n"));
    ASSERT_TRUE(ListFile::write(path, {}));
    EXPECT_EQ(readFile(path), QByteArray());
}

TEST(ListFile, MissingFileReadsAsFailureAndAFailedWriteKeepsTheOldFile)
{
    QTemporaryDir dir;
    QStringList paths{"keep"};
    EXPECT_FALSE(ListFile::read(dir.filePath("nope.txt"), &paths));
    EXPECT_EQ(paths, QStringList{"keep"});
    EXPECT_FALSE(ListFile::write(dir.filePath("no/such/dir/Files.txt"), {"x"}));
}

TEST(ListFile, WriteReplacesALinkInsteadOfWritingThroughIt)
{
    QTemporaryDir dir;
    const QString victim = dir.filePath("victim");
    writeFile(victim, "precious");
    const QString list = dir.filePath("Files.txt");
    ASSERT_TRUE(QFile::link(victim, list));
    ASSERT_TRUE(ListFile::write(list, {"a"}));
    EXPECT_EQ(readFile(victim), QByteArray("precious"));
    EXPECT_FALSE(QFileInfo(list).isSymLink());
}

TEST(UploadList, PathsCompareExactlyNamesStayUniqueAndLoadKeepsDuplicates)
{
    UploadList list;
    UploadList::Clash clash;
    EXPECT_EQ(list.addFile("/data/A.txt"), 0);
    EXPECT_EQ(list.addFile("/data/b.txt"), 1);
    // Linux names two files here: both are kept.
    EXPECT_EQ(list.addFile("/data/a.TXT"), 2);
    EXPECT_TRUE(list.containsPath("/data/a.TXT"));
    EXPECT_FALSE(list.containsPath("/DATA/A.TXT"));
    // The same path again is no clash; the same name from another folder
    // would overwrite the listed file on the server.
    EXPECT_EQ(list.addFile("/data/b.txt", &clash), -1);
    EXPECT_TRUE(clash.path.isEmpty());
    EXPECT_EQ(list.addFile("/other/b.txt", &clash), -1);
    EXPECT_EQ(clash.path + '>' + clash.listed, "/other/b.txt>/data/b.txt");
    // A path that could not survive Files.txt, nor an FTP command, is
    // refused and named.
    EXPECT_EQ(list.addFile("/d/two\nlines", &clash), -1);
    EXPECT_EQ(clash.path + '>' + clash.listed, "/d/two\nlines>");
    EXPECT_EQ(list.count(), 3);

    // A batch: clashes with the list and within the batch are all named.
    QList<UploadList::Clash> clashes;
    EXPECT_EQ(
        list.addFiles({"/e/b.txt", "/e/c.txt", "/f/c.txt", "/f/C.txt", "/data/A.txt"}, &clashes),
        2);
    ASSERT_EQ(clashes.size(), 2);
    EXPECT_EQ(clashes[0].path + '>' + clashes[0].listed, "/e/b.txt>/data/b.txt");
    EXPECT_EQ(clashes[1].path + '>' + clashes[1].listed, "/f/c.txt>/e/c.txt");

    // Files.txt is loaded as it is; the names it holds still count.
    list.setPaths({"x", "X", "", "x", "/g/x"});
    EXPECT_EQ(list.count(), 5);
    EXPECT_EQ(list.addFile("x"), -1);
    EXPECT_EQ(list.addFile("/h/X", &clash), -1);
    EXPECT_EQ(clash.listed, "X");
    EXPECT_EQ(list.addFile("y"), 5);
    EXPECT_EQ(list.index(5, UploadList::NumberColumn).data().toString(), "6");
    // A deleted item's name is free again.
    list.removeRowsAt({1});
    EXPECT_EQ(list.addFile("/h/X"), 5);
}

TEST(UploadList, DeletingRowsRenumbersAndKeepsIdentities)
{
    UploadList list;
    for (const char *p : {"1", "2", "3", "4", "5"})
        list.addFile(p);
    const quint64 third = list.at(2).id;
    const quint64 second = list.at(1).id;
    list.removeRowsAt({3, 1, 1});
    ASSERT_EQ(list.paths(), (QStringList{"1", "3", "5"}));
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(list.index(row, 0).data().toString(), QString::number(row + 1));
    EXPECT_EQ(list.rowOf(third), 1);
    EXPECT_EQ(list.rowOf(second), -1);
    // A deleted path may be added again.
    EXPECT_EQ(list.addFile("2"), 3);
}

TEST(UploadList, BulkAddOfManyFilesStaysUniqueWithoutQuadraticCost)
{
    UploadList list;
    QStringList paths;
    for (int i = 0; i < 20000; ++i)
        paths.append(QStringLiteral("/files/File%1.bin").arg(i));
    paths.append("/other/File7.bin"); // File7.bin's name again
    EXPECT_EQ(list.addFiles(paths), 20000);
    EXPECT_EQ(list.addFiles(paths), 0);
    EXPECT_EQ(list.rowOf(list.at(19999).id), 19999);
}

} // namespace
