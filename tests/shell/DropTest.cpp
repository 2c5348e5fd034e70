// SPDX-License-Identifier: GPL-3.0-or-later
// Files dragged from a file manager onto the list: synthesized drag and drop
// events on lvFiles, as a file manager's drop delivers them (text/uri-list).

#include "ModalDriver.h"
#include "TestProgram.h"

#include <QCoreApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTreeView>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

/// Drags data over the list and drops it there; whether the list welcomed
/// the drag on entering, and whether it took the drop.
struct DropResult
{
    bool enterAccepted = false;
    bool dropAccepted = false;
    Qt::DropAction action = Qt::IgnoreAction;
};

DropResult dragAndDrop(TestProgram &p, const QList<QUrl> &urls)
{
    QWidget *viewport = p.widget<QTreeView>("lvFiles")->viewport();
    QMimeData data;
    data.setUrls(urls);
    const QPoint at(20, 20);
    DropResult result;
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, &data,
                          Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QCoreApplication::sendEvent(viewport, &enter);
    result.enterAccepted = enter.isAccepted();
    QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, &data,
                    Qt::LeftButton, Qt::NoModifier);
    drop.ignore();
    QCoreApplication::sendEvent(viewport, &drop);
    result.dropAccepted = drop.isAccepted();
    result.action = drop.dropAction();
    return result;
}

TEST(MainFormDrop, LocalFilesAreAddedSavedAndTheButtonsFollow)
{
    TestProgram p;
    const QString dir = p.dir.path() + QLatin1Char('/');
    const QString a = dir + "a.bin", b = dir + u"б.bin"_qs, c = dir + "c.bin";
    for (const QString &path : {a, b, c, dir + "A.BIN"})
        writeFile(path, "content");
    QDir().mkpath(dir + "folder");
    p.widget<QLineEdit>("edtDstFolder")->setText("/pub");
    auto *btnRun = p.widget<QPushButton>("btnRun");
    ASSERT_FALSE(btnRun->isEnabled());

    DropResult result =
        dragAndDrop(p, {QUrl::fromLocalFile(a), QUrl::fromLocalFile(dir + "folder"),
                        QUrl("https://example.com/remote.zip"),
                        QUrl::fromLocalFile(dir + "missing.bin"), QUrl::fromLocalFile(b)});

    EXPECT_TRUE(result.enterAccepted);
    EXPECT_TRUE(result.dropAccepted);
    EXPECT_EQ(result.action, Qt::CopyAction);
    EXPECT_EQ(p.main->uploadList().paths(), (QStringList{a, b}));
    EXPECT_EQ(readFile(p.files.listFile), (a + "\r\n" + b + "\r\n").toUtf8());
    // The command-state update ran: a list with files and a folder can go.
    EXPECT_TRUE(btnRun->isEnabled());

    // The same name from another folder would overwrite a.bin on the server:
    // passed over, and named in a box.
    const QString sameName = dir + "folder/a.bin", lineBreak = dir + "two\nlines.bin";
    writeFile(sameName, "other content");
    writeFile(lineBreak, "content");
    ModalDriver driver;
    driver.answerBox(QMessageBox::Ok);
    result = dragAndDrop(
        p, {QUrl::fromLocalFile(sameName), QUrl::fromLocalFile(lineBreak), QUrl::fromLocalFile(c)});

    EXPECT_TRUE(result.dropAccepted);
    EXPECT_EQ(p.main->uploadList().paths(), (QStringList{a, b, c}));
    EXPECT_EQ(readFile(p.files.listFile), (a + "\r\n" + b + "\r\n" + c + "\r\n").toUtf8());
    ASSERT_TRUE(driver.waitUntilDone());
    ASSERT_EQ(driver.boxes().size(), 1);
    EXPECT_TRUE(driver.boxes()[0].text.endsWith(
        u":\n"_qs + sameName + u" — уже есть "_qs + a +
        u"\n\nИмя файла содержит перевод строки; такой файл нельзя передать по FTP:\n"_qs + dir +
        u"two\\nlines.bin"_qs))
        << driver.boxes()[0].text.toStdString();
    EXPECT_TRUE(driver.unexpected().isEmpty());
}

TEST(MainFormDrop, FoldersAndRemoteAddressesAloneAreRefused)
{
    TestProgram p;
    const QString dir = p.dir.path() + QLatin1Char('/');
    QDir().mkpath(dir + "folder");

    const DropResult result =
        dragAndDrop(p, {QUrl::fromLocalFile(dir + "folder"), QUrl("ftp://example.com/a.bin"),
                        QUrl("sftp://host/home/user/b.bin")});

    EXPECT_FALSE(result.enterAccepted);
    EXPECT_FALSE(result.dropAccepted);
    EXPECT_EQ(p.main->uploadList().count(), 0);
    EXPECT_FALSE(QFile::exists(p.files.listFile));
}

} // namespace
