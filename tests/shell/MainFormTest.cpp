// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: its controls, the enabling rules, the list operations
// with Files.txt, the connection dialog seen from the main window, the
// hand-off receiver, the window side of the upload run, and what the desktop
// hears of a run.

#include "DesktopBus.h"
#include "ModalDriver.h"
#include "QtPrinters.h"
#include "TestProgram.h"
#include "ftp/Socket.h"
#include "shell/DesktopSignals.h"
#include "shell/FileTypeFilter.h"
#include "state/ListFile.h"
#include "state/ResumeMarker.h"
#include "support/FtpTestServer.h"

#include <QAbstractProxyModel>
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>
#include <gtest/gtest.h>

#include <algorithm>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString text(const TestProgram &p, const char *name)
{
    if (auto *label = p.widget<QLabel>(name))
        return label->text();
    if (auto *button = p.widget<QPushButton>(name))
        return button->text();
    return QStringLiteral("<no widget %1>").arg(QLatin1String(name));
}

void selectRows(QTreeView *view, const QList<int> &rows)
{
    view->selectionModel()->clearSelection();
    for (int row : rows)
        view->selectionModel()->select(view->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

QStringList numbers(UploadList &list)
{
    QStringList result;
    for (int row = 0; row < list.rowCount(); ++row)
        result.append(list.data(list.index(row, UploadList::NumberColumn)).toString());
    return result;
}

/// The files the open dialog offers in `folder` under its current file
/// type (greyed-out ones left out), sorted.
QStringList offeredFiles(QFileDialog *dialog, const QString &folder)
{
    QAbstractProxyModel *proxy = dialog->proxyModel();
    auto *files = qobject_cast<QFileSystemModel *>(proxy->sourceModel());
    QStringList names;
    if (!files)
        return names;
    const QModelIndex root = proxy->mapFromSource(files->index(folder));
    for (int row = 0; row < proxy->rowCount(root); ++row) {
        const QModelIndex index = proxy->index(row, 0, root);
        if (proxy->flags(index) & Qt::ItemIsEnabled)
            names.append(index.data().toString());
    }
    names.sort();
    return names;
}

} // namespace

TEST(MainFormLook, ControlsCarryTheirCaptionsHintsAndInitialTexts)
{
    TestProgram p;
    EXPECT_EQ(p.main->windowTitle(), QStringLiteral("Trelvan v1.3"));
    EXPECT_EQ(p.main->size(), QSize(592, 420));
    EXPECT_EQ(p.main->minimumSize(), p.main->maximumSize()) << "the window is not resizable";

    EXPECT_EQ(text(p, "Label1"), QStringLiteral("Для закачки файлов на FTP сервер"));
    EXPECT_TRUE(p.widget<QLabel>("Label1")->font().bold());
    EXPECT_EQ(text(p, "Label2"), QStringLiteral("Подключитесь к интернету\nНастройте параметры "
                                                "соединения\nУкажите файл для закачки и его имя "
                                                "на сервере"));
    EXPECT_EQ(text(p, "lblAbout"), QStringLiteral("О программе"));
    EXPECT_EQ(text(p, "Label3"), QStringLiteral("Соединение:"));
    EXPECT_EQ(text(p, "lblConnection"), QStringLiteral("По умолчанию"));
    EXPECT_EQ(text(p, "btnConnection"), QStringLiteral("Настроить ..."));
    EXPECT_EQ(text(p, "Label5"), QStringLiteral("Файлы для закачки на сервер:"));
    EXPECT_EQ(text(p, "Label6"), QStringLiteral("Папка на сервере:"));
    EXPECT_EQ(text(p, "Label4"), QStringLiteral("Процесс передачи данных:"));
    EXPECT_EQ(text(p, "Label7"), QStringLiteral("передано:"));
    EXPECT_EQ(text(p, "Label8"), QStringLiteral("осталось:"));
    EXPECT_EQ(text(p, "Label9"), QStringLiteral("осталось времени:"));
    EXPECT_EQ(text(p, "btnHelp"), QStringLiteral("Справка ..."));
    EXPECT_EQ(text(p, "btnRun"), QStringLiteral("Закачать"));
    EXPECT_EQ(text(p, "btnClose"), QStringLiteral("Закрыть"));
    EXPECT_EQ(p.widget<QPushButton>("btnRun")->width(), 96);

    // The progress area before any run.
    EXPECT_EQ(text(p, "lblPercents"), QStringLiteral("0%"));
    EXPECT_EQ(text(p, "lblSent"), QStringLiteral("0 байт"));
    EXPECT_EQ(text(p, "lblLeft"), QStringLiteral("0 байт"));
    EXPECT_EQ(text(p, "lblLeftTime"), QStringLiteral("00:00:00"));
    auto *bar = p.widget<QProgressBar>("ProgressBar");
    ASSERT_TRUE(bar);
    EXPECT_EQ(bar->size(), QSize(273, 13));
    EXPECT_EQ(bar->value(), 0);
    auto *log = p.widget<QPlainTextEdit>("memLog");
    ASSERT_TRUE(log);
    EXPECT_EQ(log->size(), QSize(273, 79));
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_TRUE(log->toPlainText().isEmpty());

    // Buttons without words are named by their hints, for screen readers.
    const struct
    {
        const char *name;
        const char *caption;
        QString hint;
    } small[] = {{"btnSrcFileName", "...", QStringLiteral("Добавить файлы ...")},
                 {"btnDelFiles", "X", QStringLiteral("Удалить из списка")},
                 {"btnTargetFolder", "...", QStringLiteral("Выбрать папку ...")}};
    for (const auto &b : small) {
        auto *button = p.widget<QPushButton>(b.name);
        ASSERT_TRUE(button) << b.name;
        EXPECT_EQ(button->text(), QLatin1String(b.caption)) << b.name;
        EXPECT_EQ(button->toolTip(), b.hint) << b.name;
        EXPECT_EQ(button->accessibleName(), b.hint) << b.name;
    }
    EXPECT_TRUE(p.widget<QPushButton>("btnDelFiles")->font().bold());

    // Every edit has its caption as buddy.
    EXPECT_EQ(p.widget<QLabel>("Label6")->buddy(), p.widget<QLineEdit>("edtDstFolder"));
    EXPECT_EQ(p.widget<QLabel>("Label5")->buddy(), p.widget<QTreeView>("lvFiles"));
    EXPECT_TRUE(p.widget<QLineEdit>("edtDstFolder")->text().isEmpty());
    EXPECT_EQ(p.widget<QLineEdit>("edtDstFolder")->width(), 537);

    auto *logo = p.widget<QLabel>("Image1");
    ASSERT_TRUE(logo);
    EXPECT_EQ(logo->pixmap().size(), QSize(180, 40));
}

TEST(MainFormLook, FileListHasThreeColumnsWholeRowMultiSelectionAndNoEditing)
{
    TestProgram p;
    auto *view = p.widget<QTreeView>("lvFiles");
    ASSERT_TRUE(view);
    EXPECT_EQ(view->size(), QSize(537, 109));
    EXPECT_EQ(view->model(), &p.main->uploadList());
    const QAbstractItemModel *model = view->model();
    ASSERT_EQ(model->columnCount(), 3);
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("№"));
    EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Файл"));
    EXPECT_EQ(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Статус"));
    EXPECT_EQ(view->columnWidth(0), 30);
    EXPECT_EQ(view->columnWidth(1), 420);
    // "Статус" takes the rest, with no sideways scrolling.
    p.main->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(p.main.get()));
    EXPECT_EQ(view->columnWidth(2), view->viewport()->width() - 450);
    EXPECT_EQ(view->header()->length(), view->viewport()->width());
    p.main->uploadList().setPaths({QStringLiteral("a"), QStringLiteral("b")});
    EXPECT_EQ(view->columnWidth(1), 420) << "a reloaded list keeps the widths";
    EXPECT_EQ(view->header()->length(), view->viewport()->width());
    // A long path loses its middle, so the file name stays in sight; the
    // tooltip shows the whole path.
    EXPECT_EQ(view->textElideMode(), Qt::ElideMiddle);
    const QString longPath = QStringLiteral("/home/user/") + QString(30, u'x') +
                             QStringLiteral("/Документы/Отчёты за много лет/2024/отчёт.pdf");
    p.main->uploadList().addFile(longPath);
    const QRect cell = view->visualRect(p.main->uploadList().index(2, UploadList::PathColumn));
    QHelpEvent tip(QEvent::ToolTip, cell.center(), view->viewport()->mapToGlobal(cell.center()));
    QCoreApplication::sendEvent(view->viewport(), &tip);
    EXPECT_EQ(QToolTip::text(), longPath);
    QToolTip::hideText();
    EXPECT_EQ(view->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(view->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    // The selection stays visible without the focus.
    EXPECT_EQ(view->palette().color(QPalette::Inactive, QPalette::Highlight),
              view->palette().color(QPalette::Active, QPalette::Highlight));

    auto *menu = p.main->findChild<QMenu *>(QStringLiteral("pupFiles"));
    ASSERT_TRUE(menu);
    const QList<QAction *> actions = menu->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->objectName(), QStringLiteral("AAddFiles"));
    EXPECT_EQ(actions[0]->text(), QStringLiteral("Добавить файлы ..."));
    EXPECT_EQ(actions[0]->toolTip(), QStringLiteral("Добавить файлы"));
    EXPECT_EQ(actions[1]->objectName(), QStringLiteral("ADelFiles"));
    EXPECT_EQ(actions[1]->text(), QStringLiteral("Удалить из списка"));
    EXPECT_EQ(actions[1]->toolTip(), QStringLiteral("Удалить из списка"));
    EXPECT_TRUE(actions[2]->isSeparator());
}

TEST(MainFormLook, OpenDialogOffersTheFiltersAndReadsTheirPatternsAsWindowsDoes)
{
    TestProgram p;
    // No dialog exists while none is open: its folder watch would follow
    // every write the program makes beside its settings.
    EXPECT_EQ(p.main->findChild<QFileDialog *>(), nullptr);
    EXPECT_EQ(p.main->findChild<QFileSystemModel *>(), nullptr);
    const QString src = p.path(QStringLiteral("src"));
    QDir().mkpath(src);
    for (const char *name : {"a.txt", "b.zip"})
        writeFile(src + QLatin1Char('/') + QLatin1String(name), "x");

    ModalDriver driver;
    QStringList filters, shownAgain;
    int mode = -1;
    QString folderAgain, filterAgain;
    driver.expect([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->objectName(), QStringLiteral("OpenDialog"));
        filters = dialog->nameFilters();
        mode = dialog->fileMode();
        dialog->setDirectory(src);
        dialog->selectNameFilter(QStringLiteral("Text files (*.txt)"));
        dialog->reject();
    });
    p.widget<QPushButton>("btnSrcFileName")->click();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(p.main->findChild<QFileDialog *>(), nullptr) << "gone once closed";
    // The next use opens where the last one was left, with its file type.
    driver.expect([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        ASSERT_TRUE(dialog);
        folderAgain = dialog->directory().absolutePath();
        filterAgain = dialog->selectedNameFilter();
        // The file type is applied, not only shown in its box.
        ASSERT_TRUE(dialog->proxyModel());
        auto *files = qobject_cast<QFileSystemModel *>(dialog->proxyModel()->sourceModel());
        ASSERT_TRUE(files);
        EXPECT_TRUE(QTest::qWaitFor([&] { return files->rowCount(files->index(src)) == 2; }, 5000))
            << "both files read";
        shownAgain = offeredFiles(dialog, src);
        dialog->reject();
    });
    p.widget<QPushButton>("btnSrcFileName")->click();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
    EXPECT_EQ(folderAgain, QDir(src).absolutePath());
    EXPECT_EQ(filterAgain, QStringLiteral("Text files (*.txt)"));
    EXPECT_EQ(shownAgain, QStringList({QStringLiteral("a.txt")}));
    EXPECT_EQ(
        filters,
        QStringList({QStringLiteral("All files (*.*)"), QStringLiteral("Zip files (*.zip)"),
                     QStringLiteral("Exe files (*.exe)"), QStringLiteral("Video files (*.avi)"),
                     QStringLiteral("Flash files (*.swf)"), QStringLiteral("Text files (*.txt)"),
                     QStringLiteral("mp3 files (*.mp3)"),
                     QStringLiteral("Web (*.php; *.htm; *.html; *.phtml)")}));
    EXPECT_EQ(mode, int(QFileDialog::ExistingFiles));

    EXPECT_TRUE(FileTypeFilter::matches(QStringLiteral("*.*"), QStringLiteral("README")));
    EXPECT_TRUE(FileTypeFilter::matches(QStringLiteral("*.*"), QStringLiteral("a.b")));
    EXPECT_TRUE(FileTypeFilter::matches(QStringLiteral("*.zip"), QStringLiteral("A.ZIP")));
    EXPECT_FALSE(FileTypeFilter::matches(QStringLiteral("*.zip"), QStringLiteral("a.zip.txt")));
    const QString web = QStringLiteral("*.php;*.htm*;*.phtml");
    for (const char *name : {"i.php", "a.htm", "b.html", "c.HTML", "d.phtml"})
        EXPECT_TRUE(FileTypeFilter::matches(web, QLatin1String(name))) << name;
    for (const char *name : {"a.txt", "php", "a.php.bak"})
        EXPECT_FALSE(FileTypeFilter::matches(web, QLatin1String(name))) << name;
}

TEST(MainFormLook, OpenDialogShowsFilesWithoutExtensionUnderAllFiles)
{
    TestProgram p;
    const QString src = p.path(QStringLiteral("src"));
    QDir().mkpath(src);
    for (const char *name : {"README", "a.zip", "page.html"})
        writeFile(src + QLatin1Char('/') + QLatin1String(name), "x");

    ModalDriver driver;
    QStringList allFiles, webFiles;
    driver.expect([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        ASSERT_TRUE(dialog);
        dialog->setDirectory(src);
        ASSERT_TRUE(dialog->proxyModel());
        auto visible = [&] { return offeredFiles(dialog, src); };
        EXPECT_TRUE(QTest::qWaitFor([&] { return visible().size() == 3; }, 5000));
        allFiles = visible();
        // The user picks the last filter, "Web (...)".
        auto *types = dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
        ASSERT_TRUE(types);
        types->setFocus();
        QTest::keyClick(types, Qt::Key_End);
        EXPECT_TRUE(QTest::qWaitFor([&] { return visible().size() == 1; }, 5000));
        webFiles = visible();
        dialog->reject();
    });
    p.widget<QPushButton>("btnSrcFileName")->click();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
    EXPECT_EQ(allFiles, QStringList({QStringLiteral("README"), QStringLiteral("a.zip"),
                                     QStringLiteral("page.html")}));
    EXPECT_EQ(webFiles, QStringList({QStringLiteral("page.html")}));
}

TEST(MainFormRules, EnablingRulesFollowListFolderBusyAndSelection)
{
    TestProgram p;
    auto *run = p.widget<QPushButton>("btnRun");
    auto *connection = p.widget<QPushButton>("btnConnection");
    auto *del = p.widget<QPushButton>("btnDelFiles");
    auto *view = p.widget<QTreeView>("lvFiles");
    auto *folder = p.widget<QLineEdit>("edtDstFolder");
    auto *delAction = p.main->findChild<QAction *>(QStringLiteral("ADelFiles"));
    auto *addAction = p.main->findChild<QAction *>(QStringLiteral("AAddFiles"));
    ASSERT_TRUE(run && connection && del && view && folder && delAction && addAction);

    // Empty list, empty folder.
    EXPECT_FALSE(run->isEnabled());
    EXPECT_TRUE(connection->isEnabled());
    EXPECT_FALSE(del->isEnabled());
    EXPECT_FALSE(delAction->isEnabled());
    EXPECT_TRUE(view->isEnabled());

    folder->setText(QStringLiteral("/pub"));
    EXPECT_FALSE(run->isEnabled()) << "a folder without files";
    p.main->uploadList().addFile(QStringLiteral("/tmp/one"));
    EXPECT_FALSE(run->isEnabled()) << "adding a file alone runs no command-state update";
    p.main->commandStateUpdate();
    EXPECT_TRUE(run->isEnabled());
    folder->setText(QString());
    EXPECT_FALSE(run->isEnabled()) << "a file without a folder";
    folder->setText(QStringLiteral(" "));
    EXPECT_TRUE(run->isEnabled()) << "a folder of one blank is not trimmed away";

    selectRows(view, {0});
    EXPECT_TRUE(del->isEnabled());
    EXPECT_TRUE(delAction->isEnabled());

    // Busy: the Upload and Connection buttons and the list are off; the
    // delete button still follows the selection; nothing else is governed.
    p.main->setBusy(true);
    EXPECT_FALSE(run->isEnabled());
    EXPECT_FALSE(connection->isEnabled());
    EXPECT_FALSE(view->isEnabled());
    EXPECT_TRUE(del->isEnabled());
    EXPECT_TRUE(delAction->isEnabled());
    for (const char *name : {"btnSrcFileName", "btnTargetFolder", "btnHelp", "btnClose"})
        EXPECT_TRUE(p.widget<QPushButton>(name)->isEnabled()) << name;
    EXPECT_TRUE(folder->isEnabled());
    EXPECT_TRUE(addAction->isEnabled());
    view->selectionModel()->clearSelection();
    EXPECT_FALSE(del->isEnabled());
    EXPECT_FALSE(delAction->isEnabled());

    p.main->setBusy(false);
    EXPECT_TRUE(run->isEnabled());
    EXPECT_TRUE(connection->isEnabled());
    EXPECT_TRUE(view->isEnabled());

    // The caption follows the resume flag at the next update, not at once.
    p.main->uploadState().resume = true;
    EXPECT_EQ(run->text(), QStringLiteral("Закачать"));
    p.main->commandStateUpdate();
    EXPECT_EQ(run->text(), QStringLiteral("Продолжить"));
    p.main->uploadState().resume = false;
    p.main->setBusy(false);
    EXPECT_EQ(run->text(), QStringLiteral("Закачать"));
}

TEST(MainFormRules, EnterInFolderStartsARunOnlyWhenUploadIsEnabled)
{
    // Settings.ini as a folder: a run that starts stops at once with its
    // error report, before it goes near the network. The run and its box
    // come within the key press, so the driver has seen them when it returns.
    TestProgram p([](const QString &dir) { QDir().mkpath(dir + QStringLiteral("Settings.ini")); });
    ModalDriver driver;
    driver.setMainWindow(p.main.get());
    auto *folder = p.widget<QLineEdit>("edtDstFolder");

    folder->setText(QStringLiteral("/pub"));
    QTest::keyClick(folder, Qt::Key_Return);
    EXPECT_TRUE(driver.seen().isEmpty()) << "empty list: Enter starts nothing";

    p.main->uploadList().addFile(p.path(QStringLiteral("missing.bin")));
    p.main->setBusy(true);
    QTest::keyClick(folder, Qt::Key_Return);
    EXPECT_TRUE(driver.seen().isEmpty()) << "busy: Enter starts nothing";
    p.main->setBusy(false);

    driver.answerBox(QMessageBox::Ok);
    QTest::keyClick(folder, Qt::Key_Return);
    ASSERT_EQ(driver.boxes().size(), 1);
    EXPECT_TRUE(driver.boxes()[0].text.startsWith(QStringLiteral("Unable to write to ")))
        << driver.boxes()[0].text.toStdString();
    EXPECT_TRUE(driver.boxes()[0].ownedByMain);

    driver.answerBox(QMessageBox::Ok);
    p.widget<QPushButton>("btnRun")->click();
    EXPECT_EQ(driver.boxes().size(), 2) << "the Upload button starts the same run";
    EXPECT_TRUE(driver.unexpected().isEmpty());
}

TEST(MainFormList, AddFilesByDialogAddsNewNamesAndAlwaysSaves)
{
    TestProgram p;
    const QString src = p.path(QStringLiteral("src"));
    QDir().mkpath(src);
    const QString a = src + QStringLiteral("/a.txt"), b = src + QStringLiteral("/B.bin"),
                  upperA = src + QStringLiteral("/A.TXT");
    for (const QString &name : {a, b, upperA})
        writeFile(name, "data");

    ModalDriver driver;
    auto choose = [&](const QString &files, const QString &folder = {}) {
        driver.expect([folder = folder.isEmpty() ? src : folder, files](QWidget *modal) {
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            ASSERT_TRUE(dialog);
            dialog->setDirectory(folder);
            // What the user types into the name box.
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            ASSERT_TRUE(name);
            name->setText(files);
            QMetaObject::invokeMethod(dialog, "accept");
            if (dialog->isVisible()) {
                ADD_FAILURE() << "the dialog refused "
                              << dialog->selectedFiles().join(u'|').toStdString();
                dialog->reject();
            }
        });
    };

    p.widget<QLineEdit>("edtDstFolder")->setText(QStringLiteral("/pub"));
    choose(QStringLiteral("\"a.txt\" \"B.bin\""));
    p.widget<QPushButton>("btnSrcFileName")->click();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(p.main->uploadList().paths(), QStringList({a, b}));
    EXPECT_EQ(readFile(p.files.listFile),
              (a + QStringLiteral("\r\n") + b + QStringLiteral("\r\n")).toUtf8());
    EXPECT_EQ(numbers(p.main->uploadList()),
              QStringList({QStringLiteral("1"), QStringLiteral("2")}));
    EXPECT_TRUE(p.widget<QPushButton>("btnRun")->isEnabled()) << "the update follows the addition";

    // The same names from another folder would land in the same remote
    // files: not added, named in one box, and the list is saved all the same.
    const QString other = p.path(QStringLiteral("other/"));
    QDir().mkpath(other);
    writeFile(other + QStringLiteral("a.txt"), "data");
    writeFile(other + QStringLiteral("B.bin"), "data");
    QFile::remove(p.files.listFile);
    choose(QStringLiteral("\"a.txt\" \"B.bin\""), other);
    driver.answerBox(QMessageBox::Ok);
    p.main->findChild<QAction *>(QStringLiteral("AAddFiles"))->trigger();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(p.main->uploadList().paths(), QStringList({a, b}));
    EXPECT_EQ(readFile(p.files.listFile),
              (a + QStringLiteral("\r\n") + b + QStringLiteral("\r\n")).toUtf8());
    ASSERT_EQ(driver.boxes().size(), 1);
    EXPECT_EQ(driver.boxes()[0].text,
              QStringLiteral("Файлы с одинаковыми именами попали бы на сервер в один и тот же "
                             "файл, поэтому не добавлены:\n%1a.txt — уже есть %2\n"
                             "%1B.bin — уже есть %3")
                  .arg(other, a, b));

    // Cancel: nothing changes, nothing is written.
    QFile::remove(p.files.listFile);
    driver.expect([](QWidget *modal) { qobject_cast<QDialog *>(modal)->reject(); });
    p.widget<QPushButton>("btnSrcFileName")->click();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(p.main->uploadList().count(), 2);
    EXPECT_FALSE(QFile::exists(p.files.listFile));
    EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
    EXPECT_EQ(driver.pendingActions(), 0);
}

TEST(MainFormList, DeleteAsksFirstThenRemovesRenumbersAndSaves)
{
    TestProgram p([](const QString &dir) {
        writeFile(dir + QStringLiteral("Files.txt"), "p1\np2\np3\np4\np5\n");
    });
    ModalDriver driver;
    driver.setMainWindow(p.main.get());
    UploadList &list = p.main->uploadList();
    auto *view = p.widget<QTreeView>("lvFiles");
    auto *del = p.widget<QPushButton>("btnDelFiles");
    ASSERT_EQ(list.count(), 5);

    // No: nothing changes and nothing is written (the lone-LF file stays).
    selectRows(view, {1, 3});
    driver.answerBox(QMessageBox::No);
    del->click();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(list.count(), 5);
    EXPECT_EQ(readFile(p.files.listFile), QByteArray("p1\np2\np3\np4\np5\n"));
    ASSERT_EQ(driver.boxes().size(), 1);
    const ModalDriver::Box &question = driver.boxes()[0];
    EXPECT_EQ(question.caption, QStringLiteral("Внимание"));
    EXPECT_EQ(question.text, QStringLiteral("Удалить выделенные файлы из списка?"));
    EXPECT_EQ(question.icon, int(QMessageBox::Question));
    EXPECT_EQ(question.buttons, int(QMessageBox::Yes | QMessageBox::No));
    EXPECT_TRUE(question.ownedByMain);

    // Del in the list asks the same question.
    p.main->show();
    p.main->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(p.main.get()));
    view->setFocus();
    driver.answerBox(QMessageBox::No);
    QTest::keyClick(view, Qt::Key_Delete);
    ASSERT_TRUE(driver.waitUntilDone());
    ASSERT_EQ(driver.boxes().size(), 2);
    EXPECT_EQ(driver.boxes()[1].text, driver.boxes()[0].text);
    EXPECT_EQ(list.count(), 5);

    // p3 was cut off: its marker and the resume flag stay while it is listed.
    ASSERT_TRUE(ResumeMarker::write(p.files.markerFile, QStringLiteral("p3"), QStringLiteral("/")));
    p.main->uploadState().resume = true;

    // Yes: rows 2 and 4 go, the rest is numbered 1, 2, 3 and saved with CR LF.
    driver.answerBox(QMessageBox::Yes);
    del->click();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(list.paths(),
              QStringList({QStringLiteral("p1"), QStringLiteral("p3"), QStringLiteral("p5")}));
    EXPECT_EQ(numbers(list),
              QStringList({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")}));
    EXPECT_EQ(readFile(p.files.listFile), QByteArray("p1\r\np3\r\np5\r\n"));
    EXPECT_FALSE(del->isEnabled()) << "no selection is left";
    EXPECT_TRUE(QFile::exists(p.files.markerFile));
    EXPECT_EQ(p.widget<QPushButton>("btnRun")->text(), QStringLiteral("Продолжить"));

    // The menu entry does the same; deleting every row leaves an empty file.
    selectRows(view, {0, 1, 2});
    driver.answerBox(QMessageBox::Yes);
    p.main->findChild<QAction *>(QStringLiteral("ADelFiles"))->trigger();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(list.count(), 0);
    ASSERT_TRUE(QFile::exists(p.files.listFile));
    EXPECT_EQ(readFile(p.files.listFile), QByteArray());
    // p3's marker went with its row.
    EXPECT_FALSE(QFile::exists(p.files.markerFile));
    EXPECT_EQ(p.widget<QPushButton>("btnRun")->text(), QStringLiteral("Закачать"));

    // With nothing selected the button and Del do nothing, not even ask.
    del->click();
    ASSERT_TRUE(driver.waitUntilDone());
    QTest::keyClick(view, Qt::Key_Delete);
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(driver.boxes().size(), 4);
    EXPECT_TRUE(driver.unexpected().isEmpty());
}

TEST(MainFormList, FailedSaveWarnsAndKeepsTheListInMemory)
{
    // Files.txt as a folder can be neither read nor replaced.
    TestProgram p([](const QString &dir) { QDir().mkpath(dir + QStringLiteral("Files.txt")); });
    ModalDriver driver;
    driver.setMainWindow(p.main.get());
    const QString file = p.path(QStringLiteral("f.bin"));
    writeFile(file, "12345");

    // The box does not hold the caller up (a run may be going), and a second
    // failure while it is up adds no other.
    const QString second = p.path(QStringLiteral("g.bin"));
    writeFile(second, "6");
    driver.answerBox(QMessageBox::Ok);
    p.main->handOffFile(file);
    p.main->handOffFile(second);
    EXPECT_EQ(p.main->uploadList().paths(), QStringList({file, second}));
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_TRUE(driver.unexpected().isEmpty());
    ASSERT_EQ(driver.boxes().size(), 1);
    EXPECT_EQ(driver.boxes()[0].caption, QStringLiteral("Внимание"));
    EXPECT_EQ(driver.boxes()[0].text, QStringLiteral("Не удалось сохранить список файлов."));
    EXPECT_EQ(driver.boxes()[0].icon, int(QMessageBox::Warning));
    EXPECT_EQ(driver.boxes()[0].buttons, int(QMessageBox::Ok));
    EXPECT_TRUE(driver.boxes()[0].ownedByMain);
}

TEST(MainFormHandOff, NewFileIsCountedAndSavedListedOneIsNot)
{
    TestProgram p;
    const QString file = p.path(QStringLiteral("Hand.bin"));
    writeFile(file, QByteArray(1000, 'x'));
    auto *run = p.widget<QPushButton>("btnRun");
    p.widget<QLineEdit>("edtDstFolder")->setText(QStringLiteral("/pub"));
    ASSERT_FALSE(run->isEnabled());

    p.main->handOffFile(file);
    EXPECT_EQ(p.main->uploadList().paths(), QStringList({file}));
    EXPECT_EQ(p.main->uploadState().uploadTotal, 1000);
    EXPECT_EQ(readFile(p.files.listFile), (file + QStringLiteral("\r\n")).toUtf8());
    EXPECT_TRUE(run->isEnabled()) << "the command-state update follows the hand-off";

    // Listed already, or the same name from other folders: nothing listed,
    // counted or written. Files handed over while the box is up join it.
    ModalDriver driver;
    QFile::remove(p.files.listFile);
    QDir().mkpath(p.path(QStringLiteral("x/y")));
    const QString same1 = p.path(QStringLiteral("x/Hand.bin")),
                  same2 = p.path(QStringLiteral("x/y/Hand.bin"));
    const QString lineBreak = p.path(QStringLiteral("x/two\rlines.bin"));
    writeFile(same1, "1");
    writeFile(same2, "2");
    writeFile(lineBreak, "3");
    driver.answerBox(QMessageBox::Ok);
    p.main->handOffFile(file);
    p.main->handOffFile(same1);
    p.main->handOffFile(lineBreak);
    p.main->handOffFile(same2);
    EXPECT_EQ(p.main->uploadList().count(), 1);
    EXPECT_EQ(p.main->uploadState().uploadTotal, 1000);
    EXPECT_FALSE(QFile::exists(p.files.listFile));
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_TRUE(driver.unexpected().isEmpty());
    ASSERT_EQ(driver.boxes().size(), 1);
    EXPECT_EQ(
        driver.boxes()[0].text,
        QStringLiteral("Файлы с одинаковыми именами попали бы на сервер в один и тот же "
                       "файл, поэтому не добавлены:\n%1 — уже есть %3\n%2 — уже есть %3\n\n"
                       "Имя файла содержит перевод строки; такой файл нельзя передать по FTP:\n%4")
            .arg(same1, same2, file, p.path(QStringLiteral("x/two\\rlines.bin"))));

    // A file that cannot be opened is listed, but neither counted nor saved.
    p.main->handOffFile(p.path(QStringLiteral("gone.bin")));
    EXPECT_EQ(p.main->uploadList().count(), 2);
    EXPECT_EQ(p.main->uploadState().uploadTotal, 1000);
    EXPECT_FALSE(QFile::exists(p.files.listFile));

    // While a run goes on it is saved all the same: a crash must not lose it.
    p.main->uploadState().busy = true;
    const QString gone2 = p.path(QStringLiteral("gone2.bin"));
    p.main->handOffFile(gone2);
    p.main->uploadState().busy = false;
    EXPECT_EQ(ListFile::parse(readFile(p.files.listFile)),
              QStringList({file, p.path(QStringLiteral("gone.bin")), gone2}));

    // A start without files: nothing listed, the minimised window comes back.
    QFile::remove(p.files.listFile);
    p.main->show();
    p.main->showMinimized();
    p.main->handOffFile(QString());
    EXPECT_EQ(p.main->uploadList().count(), 3);
    EXPECT_FALSE(QFile::exists(p.files.listFile));
    EXPECT_FALSE(p.main->isMinimized());
    EXPECT_TRUE(p.main->isVisible());
}

TEST(MainFormConnection, DialogCopiesBackOnEveryCloseAndLabelFollowsOnlyOk)
{
    TestProgram p;
    ModalDriver driver;
    auto *button = p.widget<QPushButton>("btnConnection");
    auto field = [](QWidget *dialog, const char *name) {
        return dialog->findChild<QLineEdit *>(QLatin1String(name));
    };
    QStringList shown;
    auto fill = [&](const QString &server, const QString &user, const QString &password,
                    const std::function<void(QWidget *)> &close) {
        driver.expect([=, &shown](QWidget *dialog) {
            shown = {field(dialog, "edtServer")->text(), field(dialog, "edtUser")->text(),
                     field(dialog, "edtPassword")->text()};
            field(dialog, "edtServer")->setText(server);
            field(dialog, "edtUser")->setText(user);
            field(dialog, "edtPassword")->setText(password);
            close(dialog);
        });
    };
    auto press = [](const char *name) {
        return [name](QWidget *dialog) {
            dialog->findChild<QPushButton *>(QLatin1String(name))->click();
        };
    };

    // "Закрыть" takes the values over; the label keeps its caption.
    fill(QStringLiteral("srv.example"), QStringLiteral("bob"), QStringLiteral("pw"),
         press("btnClose"));
    button->click();
    EXPECT_EQ(text(p, "lblConnection"), QStringLiteral("По умолчанию"));
    EXPECT_EQ(p.main->connection().server, QStringLiteral("srv.example"));
    EXPECT_EQ(p.main->connection().user, QStringLiteral("bob"));
    EXPECT_EQ(p.main->connection().password, QStringLiteral("pw"));
    EXPECT_EQ(p.connection->fields().server, QStringLiteral("srv.example"));

    // The next showing brings the values back, the password too; OK on an
    // empty server leaves an empty label.
    fill(QString(), QStringLiteral("bob"), QStringLiteral("pw"), press("btnOk"));
    button->click();
    EXPECT_EQ(shown, QStringList({QStringLiteral("srv.example"), QStringLiteral("bob"),
                                  QStringLiteral("pw")}));
    EXPECT_EQ(text(p, "lblConnection"), QString());
    EXPECT_EQ(p.main->connection().server, QString());

    // Esc and the close box also hand the fields back.
    fill(QStringLiteral("esc.example"), QString(), QString(),
         [](QWidget *dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
    button->click();
    EXPECT_EQ(p.main->connection().server, QStringLiteral("esc.example"));
    EXPECT_EQ(p.main->connection().user, QString());
    fill(QStringLiteral("box.example"), QStringLiteral("u"), QString(),
         [](QWidget *dialog) { dialog->close(); });
    button->click();
    EXPECT_EQ(p.main->connection().server, QStringLiteral("box.example"));
    EXPECT_EQ(text(p, "lblConnection"), QString());

    // Enter presses OK: the label shows the server as entered.
    fill(QStringLiteral("ftp.local"), QStringLiteral("u"), QString(),
         [field](QWidget *dialog) { QTest::keyClick(field(dialog, "edtUser"), Qt::Key_Return); });
    button->click();
    EXPECT_EQ(text(p, "lblConnection"), QStringLiteral("ftp.local"));

    // Pressed again while it is open (a screen reader can): the dialog stays
    // the one open, and its OK still counts.
    fill(QStringLiteral("again.example"), QStringLiteral("bob"), QString(), [&](QWidget *dialog) {
        button->click();
        press("btnOk")(dialog);
    });
    button->click();
    EXPECT_EQ(text(p, "lblConnection"), QStringLiteral("again.example"));
    EXPECT_TRUE(driver.unexpected().isEmpty());
    EXPECT_EQ(driver.pendingActions(), 0);
}

TEST(MainFormUploadView, LogProgressAndRowFocusAsTheRunUsesThem)
{
    TestProgram p;
    auto *log = p.widget<QPlainTextEdit>("memLog");
    const int first = p.main->addLogLine(QStringLiteral("Соединение..."));
    const int second = p.main->addLogLine(QStringLiteral("Авторизация на сервере..."));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    p.main->appendToLogLine(first, QStringLiteral(" ОК"));
    p.main->appendToLogLine(7, QStringLiteral(" lost"));
    EXPECT_EQ(log->toPlainText(), QStringLiteral("Соединение... ОК\nАвторизация на сервере..."));
    // A suffix that wraps the last line onto more keeps the last line in view.
    p.main->show();
    for (int i = 0; i < 20; ++i)
        p.main->addLogLine(QStringLiteral("Проверка файла /a.bin..."));
    p.main->appendToLogLine(21, QStringLiteral(" ОК (SHA-256 совпадает), и ещё слова, чтобы строка "
                                               "заняла больше одной строки в окне журнала"));
    QCoreApplication::processEvents();
    EXPECT_EQ(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());

    UploadView::Progress progress;
    progress.percent = 42;
    progress.sent = 420;
    progress.left = -5;
    progress.timeLeft = QStringLiteral("01:02:03");
    p.main->showProgress(progress);
    EXPECT_EQ(text(p, "lblPercents"), QStringLiteral("42%"));
    EXPECT_EQ(text(p, "lblSent"), TfrmMainForm::formatBytes(420));
    EXPECT_EQ(text(p, "lblLeft"), TfrmMainForm::formatBytes(-5));
    EXPECT_EQ(text(p, "lblLeftTime"), QStringLiteral("01:02:03"));
    EXPECT_EQ(p.widget<QProgressBar>("ProgressBar")->value(), 42);
    progress.percent = 130;
    p.main->showProgress(progress);
    EXPECT_EQ(text(p, "lblPercents"), QStringLiteral("130%"));
    EXPECT_EQ(p.widget<QProgressBar>("ProgressBar")->value(), 100);
    EXPECT_TRUE(TfrmMainForm::formatBytes(1234567).endsWith(QStringLiteral(" байт")));
    EXPECT_EQ(TfrmMainForm::formatBytes(1234567),
              QLocale::system().toString(qint64(1234567)) + QStringLiteral(" байт"));

    UploadList &list = p.main->uploadList();
    list.setPaths({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    auto *view = p.widget<QTreeView>("lvFiles");
    p.main->focusRow(0);
    p.main->focusRow(2);
    EXPECT_TRUE(view->selectionModel()->isRowSelected(0, {}));
    EXPECT_FALSE(view->selectionModel()->isRowSelected(1, {}));
    EXPECT_TRUE(view->selectionModel()->isRowSelected(2, {}));
    EXPECT_EQ(view->currentIndex().row(), 2);
    p.main->focusRow(9); // a row that is gone changes nothing
    EXPECT_EQ(view->currentIndex().row(), 2);

    p.widget<QLineEdit>("edtDstFolder")->setText(QStringLiteral(" /x "));
    EXPECT_EQ(p.main->destFolder(), QStringLiteral(" /x "));
}

TEST(MainFormUploadView, PassiveSettingChoosesTheFirstDataConnectionMode)
{
    TestProgram p;
    EXPECT_TRUE(p.main->ftpOptions().passiveFirst);
    EXPECT_TRUE(p.main->ftpOptions().idle);
    writeFile(p.files.settingsFile, "[options]\r\npassive = 0\r\n");
    EXPECT_FALSE(p.main->ftpOptions().passiveFirst);
    writeFile(p.files.settingsFile, "[Options]\r\nPassive=1\r\n");
    EXPECT_TRUE(p.main->ftpOptions().passiveFirst);
}

TEST(MainFormUploadView, FtpWaitsHandleTheWindowsEventsAndEndWhenTheSocketIsReady)
{
    // The window makes the FTP client's waits on its thread wait in its event
    // loop: here the idle hook itself handles nothing, and the peer writes
    // only from a timer that must run inside the wait.
    TestProgram p;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    bool timerRan = false;
    QTimer::singleShot(1, [&timerRan] { timerRan = true; });
    QTimer::singleShot(30, [&fds] { (void)::send(fds[1], "x", 1, 0); });
    const ftp::IdleHook goOn = [] { return true; };
    EXPECT_EQ(ftp::waitForFd(fds[0], POLLIN, ftp::Deadline::in(20000), goOn),
              ftp::WaitResult::Ready);
    EXPECT_TRUE(timerRan);
    // Nothing comes: the wait ends at its deadline, the window live meanwhile.
    char byte = 0;
    EXPECT_EQ(::recv(fds[0], &byte, 1, 0), 1);
    bool later = false;
    QTimer::singleShot(1, [&later] { later = true; });
    EXPECT_EQ(ftp::waitForFd(fds[0], POLLIN, ftp::Deadline::in(100), goOn),
              ftp::WaitResult::Timeout);
    EXPECT_TRUE(later);
    // A hook that says stop ends the wait within a tick, not at its deadline.
    QElapsedTimer stopping;
    stopping.start();
    EXPECT_EQ(ftp::waitForFd(fds[0], POLLIN, ftp::Deadline::in(20000), [] { return false; }),
              ftp::WaitResult::Stopped);
    EXPECT_LT(stopping.elapsed(), 1000);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(MainFormFolders, BrowserResultGoesIntoTheFolderBoxUnlessItIsTheStartFolder)
{
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    TestProgram p;
    // The browser logs in with what the connection dialog holds.
    p.connection->findChild<QLineEdit *>(QStringLiteral("edtServer"))
        ->setText(QString::fromStdString(server->serverField()));
    p.connection->findChild<QLineEdit *>(QStringLiteral("edtUser"))
        ->setText(QString::fromStdString(server->user()));
    p.connection->findChild<QLineEdit *>(QStringLiteral("edtPassword"))
        ->setText(QString::fromStdString(server->password()));
    auto *folder = p.widget<QLineEdit>("edtDstFolder");
    ModalDriver driver;
    auto afterListing = [&](const char *button) {
        driver.expect([&, button](QWidget *modal) {
            ASSERT_EQ(modal, p.folders);
            QSignalSpy listed(p.folders, &TfrmFolders::listingFinished);
            EXPECT_TRUE(listed.wait(20000));
            modal->findChild<QPushButton *>(QLatin1String(button))->click();
        });
    };

    // OK at the root with nothing selected: "/" replaces the empty box and
    // the buttons follow the change.
    p.main->uploadList().addFile(QStringLiteral("/tmp/x"));
    p.main->commandStateUpdate();
    afterListing("btnOK");
    p.widget<QPushButton>("btnTargetFolder")->click();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(folder->text(), QStringLiteral("/"));
    EXPECT_TRUE(p.widget<QPushButton>("btnRun")->isEnabled());

    // Cancel gives back the start folder: the box keeps its text.
    folder->setText(QStringLiteral("keep me"));
    afterListing("btnCancel");
    p.widget<QPushButton>("btnTargetFolder")->click();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(folder->text(), QStringLiteral("keep me"));
    EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
}

// What a person does with pure-ftpd as Debian installs it: a bare server
// name, user and password in the connection dialog, three files, a folder,
// Upload. Its FEAT offers TLS that AUTH TLS then refuses (500); the run goes
// on in clear, the connection line says so, and every byte arrives.
TEST(MainFormUpload, DefaultPureFtpdTakesThreeFilesAndTheLineSaysWithoutEncryption)
{
    auto server = FtpTestServer::start(FtpTestServer::Kind::PureFtpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    TestProgram p;
    ModalDriver driver;
    driver.setMainWindow(p.main.get());
    prepareRun(p, driver, *server, 0);
    const QList<std::pair<QString, QByteArray>> files = {
        {QStringLiteral("archive.bin"), randomBytes(2 * 1024 * 1024 + 77, 1)},
        {QStringLiteral("пусто.txt"), QByteArray()},
        {QStringLiteral("Отчёт за год.doc"), randomBytes(40000, 2)},
    };
    for (const auto &[name, bytes] : files) {
        writeFile(p.path(name), bytes);
        p.main->uploadList().addFile(p.path(name));
    }
    p.main->commandStateUpdate();
    driver.answerBox(QMessageBox::Ok);
    p.widget<QPushButton>("btnRun")->click();

    ASSERT_EQ(driver.boxes().size(), 1);
    EXPECT_EQ(driver.boxes()[0].text, QStringLiteral("Закачка файлов на сервер завершена"));
    for (const auto &[name, bytes] : files)
        EXPECT_EQ(readFile(server->localPath(server->uploadFolder() + "/" + name.toStdString())),
                  bytes)
            << name.toStdString();
    EXPECT_EQ(text(p, "lblConnection"),
              QString::fromStdString(server->serverField()) + QStringLiteral(" (без шифрования)"));
    const auto commands = server->commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "AUTH TLS"), commands.end());
    EXPECT_TRUE(p.widget<QPlainTextEdit>("memLog")->toPlainText().contains(
        QStringLiteral("Авторизация на сервере... ОК")));
    EXPECT_EQ(p.main->uploadList().rowCount(), 0);
    EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
}

namespace {

/// (progress, files left) of each update that shows the launcher entry, and
/// whether every update came from our object for trelvan.desktop.
QList<QPair<double, qlonglong>> shownOnLauncher(const DesktopBus &desktop, bool *ours)
{
    QList<QPair<double, qlonglong>> shown;
    *ours = true;
    for (const DesktopBus::LauncherUpdate &u : desktop.launcher) {
        *ours = *ours && u.path == DesktopSignals::LauncherPath &&
                u.appUri == QStringLiteral("application://trelvan.desktop");
        if (u.properties.value(QStringLiteral("progress-visible")).toBool())
            shown.append({u.properties.value(QStringLiteral("progress")).toDouble(),
                          u.properties.value(QStringLiteral("count")).toLongLong()});
    }
    return shown;
}

bool launcherCleared(const DesktopBus &desktop, qsizetype after)
{
    return desktop.launcher.size() > after &&
           !desktop.launcher.last().properties.value(QStringLiteral("progress-visible")).toBool() &&
           !desktop.launcher.last().properties.value(QStringLiteral("count-visible")).toBool();
}

} // namespace

TEST(MainFormDesktop, RunEndingUnseenIsAnnouncedAndTheLauncherFollowsTheRun)
{
    DesktopBus desktop;
    ASSERT_TRUE(desktop.error().isEmpty()) << desktop.error().toStdString();
    // Slow replies put the ends of the files further apart than the
    // launcher's interval, so each of them reaches it.
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd, {.replyDelaySeconds = 0.1});
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    TestProgram p;
    p.main->desktopSignals().setBus(desktop.programConnection());
    ModalDriver driver;
    prepareRun(p, driver, *server, 3);
    p.main->show();
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));

    // A run up to its closing box, by which time the launcher is cleared.
    qsizetype announcedWithBox = -1;
    QString box;
    auto runToTheBox = [&] {
        const qsizetype updatesBefore = desktop.launcher.size();
        driver.expect([&, updatesBefore](QWidget *modal) {
            box = static_cast<QMessageBox *>(modal)->text();
            EXPECT_TRUE(
                QTest::qWaitFor([&] { return launcherCleared(desktop, updatesBefore); }, 10000));
            announcedWithBox = desktop.notifications.size();
            static_cast<QMessageBox *>(modal)->accept();
        });
        p.widget<QPushButton>("btnRun")->click();
    };

    // Another window is active: the notification is out before the closing
    // box, which still comes. The launcher's clear follows the notification.
    runToTheBox();
    EXPECT_EQ(box, UploadRun::TextCompleted);
    EXPECT_EQ(announcedWithBox, 1);
    ASSERT_EQ(desktop.notifications.size(), 1);
    const DesktopBus::Notification n = desktop.notifications[0];
    EXPECT_EQ(n.summary, UploadRun::TextCompleted);
    EXPECT_EQ(n.body, QStringLiteral("Передано файлов: 3"));
    EXPECT_EQ(n.appName, QStringLiteral("Trelvan"));
    EXPECT_EQ(n.actions.value(0), QStringLiteral("default"));
    EXPECT_EQ(n.hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("trelvan"));

    // One update as each file's last block went, then the clear.
    bool ours = false;
    const auto shown = shownOnLauncher(desktop, &ours);
    EXPECT_TRUE(ours);
    ASSERT_EQ(shown.size(), 3);
    EXPECT_EQ(shown[0].second, 3);
    EXPECT_EQ(shown[1].second, 2);
    EXPECT_EQ(shown[2].second, 1);
    EXPECT_DOUBLE_EQ(shown[0].first, 0.33);
    EXPECT_DOUBLE_EQ(shown[2].first, 1.0);
    EXPECT_EQ(desktop.launcher.size(), 4);

    // A click on the notification brings the window to the front; it is
    // still active when the next run ends, so that one goes unannounced.
    prepareRun(p, driver, *server, 1);
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    desktop.click(n.id);
    EXPECT_TRUE(QTest::qWaitForWindowActive(p.main.get()));
    runToTheBox();
    EXPECT_EQ(announcedWithBox, 1);
    EXPECT_EQ(desktop.notifications.size(), 1);
    EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
}

TEST(MainFormDesktop, LauncherTakesOnlyChangesAndAtMostOneUpdatePerInterval)
{
    DesktopBus desktop;
    ASSERT_TRUE(desktop.error().isEmpty()) << desktop.error().toStdString();
    QWidget window;
    DesktopSignals tell(&window);
    tell.setBus(desktop.programConnection());
    tell.launcherIntervalMs = 1000;
    // The first change goes at once; the rest within the interval make one
    // update with the latest values when it is over.
    for (const auto &[percent, left] : {std::pair{10, 3}, {10, 3}, {20, 3}, {30, 2}})
        tell.showProgress(percent, left);
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop.launcher.size() == 2; }, 10000));
    tell.showProgress(30, 2);
    tell.runEnded(UploadRun::TextInterrupted, 1, 3);
    EXPECT_TRUE(QTest::qWaitFor([&] { return launcherCleared(desktop, 2); }, 10000));
    bool ours = false;
    EXPECT_EQ(shownOnLauncher(desktop, &ours),
              (QList<QPair<double, qlonglong>>{{0.1, 3}, {0.3, 2}}));
    EXPECT_EQ(desktop.launcher.size(), 3);
    ASSERT_EQ(desktop.notifications.size(), 1) << "the window is not active";
    EXPECT_EQ(desktop.notifications[0].summary, UploadRun::TextInterrupted);
    EXPECT_EQ(desktop.notifications[0].body, QStringLiteral("Передано файлов: 1 из 3"));

    // Without a bus every call is a no-op.
    DesktopSignals alone(&window);
    alone.setBus(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                               QStringLiteral("no-bus")));
    alone.showProgress(50, 1);
    alone.runEnded(UploadRun::TextCompleted, 1, 1);
    QDBusConnection::disconnectFromBus(QStringLiteral("no-bus"));
}
