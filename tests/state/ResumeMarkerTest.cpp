// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/ResumeMarker.h"
#include "state/UploadList.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class ResumeMarkerTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    UploadList list;
    QString marker() const { return dir.filePath("Upload.dat"); }
    QString makeFile(const QString &name, const QByteArray &content = "data")
    {
        const QString path = dir.filePath(name);
        writeFile(path, content);
        return path;
    }
    void writeRaw(const QByteArray &text) { writeFile(marker(), text); }
};

TEST_F(ResumeMarkerTest, StampHasEvenSecondsAndZeroMilliseconds)
{
    const QString file = makeFile("a.bin");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(QDateTime(QDate(2024, 3, 9), QTime(7, 5, 33, 870)),
                              QFileDevice::FileModificationTime));
    f.close();
    EXPECT_EQ(ResumeMarker::stampOf(file), "2024.03.09 07:05:32.000");
    EXPECT_TRUE(ResumeMarker::stampOf(dir.filePath("missing")).isEmpty());
}

// The list holds only files not known to be sent (each leaves it once sent,
// and the marker names those sent since the list was last written), so any
// other item before the marker's file stays pending: one passed over on a
// disk not yet mounted is sent once it is there.
TEST_F(ResumeMarkerTest, ValidMarkerMarksOnlyTheFilesItNamesAsSent)
{
    const QString a = makeFile("a"), b = makeFile("b"), c = makeFile("c"), d = makeFile("d");
    const QString gone = dir.filePath("gone");
    writeRaw(ResumeMarker::textFor(c, "/pub", {b}));
    list.setPaths({a, gone, b, c, d});
    ASSERT_TRUE(ResumeMarker::readAndApply(marker(), list));
    for (int row = 0; row < list.count(); ++row) {
        EXPECT_EQ(list.at(row).done, row == 2) << row;
        EXPECT_EQ(list.at(row).status, row == 2 ? QStringLiteral("100%") : QString()) << row;
    }
}

TEST_F(ResumeMarkerTest, PathComparisonIsExact)
{
    // On Linux b and B are two files.
    const QString a = makeFile("a"), b = makeFile("b");
    ASSERT_TRUE(ResumeMarker::write(marker(), b, "/pub"));
    list.setPaths({a, b.left(b.size() - 1) + "B"});
    EXPECT_FALSE(ResumeMarker::readAndApply(marker(), list));
    list.setPaths({a, b});
    EXPECT_TRUE(ResumeMarker::readAndApply(marker(), list));
}

TEST_F(ResumeMarkerTest, MarkerIsWrittenAsFourCrLfLines)
{
    const QString a = makeFile("a");
    ASSERT_TRUE(ResumeMarker::write(marker(), a, "/dst/"));
    QFile f(marker());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_EQ(text, (a + "\r\n" + ResumeMarker::stampOf(a) + "\r\n/dst/\r\n4\r\n").toUtf8());
    EXPECT_TRUE(QRegularExpression(R"(^\d{4}\.\d\d\.\d\d \d\d:\d\d:\d[02468]\.000$)")
                    .match(ResumeMarker::stampOf(a))
                    .hasMatch());
    EXPECT_EQ(ResumeMarker::markedPath(marker()), a);
}

TEST_F(ResumeMarkerTest, BrokenOrStaleMarkersAreIgnored)
{
    const QString a = makeFile("a"), b = makeFile("b");
    list.setPaths({a, b});
    writeRaw((b + "\r\n" + ResumeMarker::stampOf(b)).toUtf8()); // two lines
    EXPECT_FALSE(ResumeMarker::readAndApply(marker(), list));
    writeRaw((dir.filePath("missing") + "\r\nx\r\n/\r\n").toUtf8());
    EXPECT_FALSE(ResumeMarker::readAndApply(marker(), list));
    writeRaw((b + "\r\n1999.01.01 00:00:00.000\r\n/\r\n").toUtf8()); // file changed since
    EXPECT_FALSE(ResumeMarker::readAndApply(marker(), list));
    // The same stamp, another size: rewritten within two seconds.
    writeRaw((b + "\r\n" + ResumeMarker::stampOf(b) + "\r\n/\r\n5\r\n").toUtf8());
    EXPECT_FALSE(ResumeMarker::readAndApply(marker(), list));
    // A marker of three lines, from an older version, still counts.
    writeRaw((b + "\r\n" + ResumeMarker::stampOf(b) + "\r\n/\r\n").toUtf8());
    EXPECT_TRUE(ResumeMarker::readAndApply(marker(), list));
    EXPECT_FALSE(ResumeMarker::readAndApply(dir.filePath("no-marker"), list));
    EXPECT_FALSE(list.at(0).done);
    EXPECT_TRUE(list.at(0).status.isEmpty());
}

TEST_F(ResumeMarkerTest, MarkerOfAnUnlistedFileIsIgnoredForANonEmptyList)
{
    const QString a = makeFile("a"), other = makeFile("other");
    ASSERT_TRUE(ResumeMarker::write(marker(), other, "/"));
    list.setPaths({a});
    EXPECT_FALSE(ResumeMarker::readAndApply(marker(), list));
    EXPECT_FALSE(list.at(0).done);
    EXPECT_TRUE(list.at(0).status.isEmpty());
    EXPECT_TRUE(QFile::exists(marker())); // left on disk until replaced
}

TEST_F(ResumeMarkerTest, EmptyListGetsTheMarkersFileAsItsOnlyItem)
{
    const QString a = makeFile("a");
    ASSERT_TRUE(ResumeMarker::write(marker(), a, "/"));
    ASSERT_TRUE(ResumeMarker::readAndApply(marker(), list));
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.at(0).path, a);
    EXPECT_FALSE(list.at(0).done);
    EXPECT_EQ(list.index(0, 0).data().toString(), "1");
}

} // namespace
