// SPDX-License-Identifier: GPL-3.0-or-later
// The secondary windows (connection dialog, About, help), the links, the
// pictures, and that no caption of any window is cut off by its size.

#include "ModalDriver.h"
#include "QtPrinters.h"
#include "TestProgram.h"
#include "shell/Resources.h"
#include "shell/UrlOpener.h"

#include <QAbstractButton>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <gtest/gtest.h>

namespace {

/// Collects the links the windows ask the desktop to open.
class UrlRecorder
{
public:
    UrlRecorder()
    {
        UrlOpener::setOpener([this](const QUrl &url) { urls.append(url.toString()); });
    }
    ~UrlRecorder() { UrlOpener::setOpener({}); }
    QStringList urls;
};

void click(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
}

/// Every caption must fit the box the window gives it.
void expectCaptionsFit(QWidget *window)
{
    // Only the window's own controls, not those of dialogs it owns.
    auto own = [window](QWidget *widget) { return widget->window() == window; };
    auto where = [window](QWidget *widget) {
        return window->objectName().toStdString() + "." + widget->objectName().toStdString();
    };
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (!own(label) || label->text().isEmpty() || label->wordWrap())
            continue;
        const QSize need = label->sizeHint();
        EXPECT_LE(need.width(), label->width())
            << where(label) << " \"" << label->text().toStdString() << "\"";
        EXPECT_LE(need.height(), label->height()) << where(label);
        EXPECT_TRUE(window->rect().contains(QRect(label->mapTo(window, QPoint(0, 0)), need)))
            << label->objectName().toStdString() << " leaves its window";
    }
    // Nor may a caption run under a neighbouring control.
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (!own(label) || label->text().isEmpty())
            continue;
        const QRect drawn(label->pos(), label->wordWrap() ? label->size() : label->sizeHint());
        for (QObject *object : label->parentWidget()->children()) {
            auto *sibling = qobject_cast<QWidget *>(object);
            if (!sibling || sibling == label || qobject_cast<QLabel *>(sibling) ||
                sibling->isWindow())
                continue;
            EXPECT_FALSE(drawn.intersects(sibling->geometry()))
                << where(label) << " runs under " << sibling->objectName().toStdString();
        }
    }
    for (QAbstractButton *button : window->findChildren<QAbstractButton *>()) {
        if (!own(button) || button->text().isEmpty())
            continue;
        const int textWidth = button->fontMetrics().horizontalAdvance(button->text());
        EXPECT_LE(textWidth + 6, button->width())
            << where(button) << " \"" << button->text().toStdString() << "\"";
    }
}

} // namespace

TEST(Pictures, BothJpegResourcesDecodeToTheSizesTheWindowsShow)
{
    Resources::ensureLoaded();
    for (const auto &[name, size] :
         {std::pair{":/logo.jpg", QSize(180, 40)}, std::pair{":/about.jpg", QSize(162, 216)}}) {
        QImageReader reader{QString::fromLatin1(name)};
        EXPECT_EQ(reader.format(), QByteArray("jpeg")) << name;
        const QImage image = reader.read();
        EXPECT_FALSE(image.isNull()) << name << ": " << reader.errorString().toStdString();
        EXPECT_EQ(image.size(), size) << name;
    }
    EXPECT_EQ(QImage(QStringLiteral(":/trelvan.png")).size(), QSize(64, 64));
}

TEST(Layout, NoCaptionIsCutOffInAnyWindow)
{
    TestProgram p;
    // The longest texts the progress area shows in practice.
    p.main->uploadList().addFile(QStringLiteral("/tmp/x"));
    UploadView::Progress progress;
    progress.percent = 100;
    progress.sent = 999'999'999'999LL;
    progress.left = -999'999'999'999LL;
    progress.timeLeft = QStringLiteral("99:59:59");
    p.main->showProgress(progress);
    p.main->uploadState().resume = true;
    p.main->commandStateUpdate(); // "Продолжить", the longer caption
    for (QWidget *window :
         std::initializer_list<QWidget *>{p.main.get(), p.connection, p.connLost, p.about}) {
        window->ensurePolished();
        expectCaptionsFit(window);
    }
    auto *countdown = child<QPushButton>(p.connLost, "btnContinue");
    countdown->setText(QStringLiteral("Продолжить [ 10 ]"));
    expectCaptionsFit(p.connLost);
    // The prompt's longest message fits its three lines.
    auto *message = child<QLabel>(p.connLost, "lblText");
    message->setText(QStringLiteral("Соединение с Internet потеряно.\nВосстановите соединение и "
                                    "нажмите \"продолжить\"\nили нажмите \"отмена\"."));
    EXPECT_LE(message->heightForWidth(message->width()), message->height());
}

TEST(ConnectionDialog, LayoutWithMaskedPasswordAndLabelsAsBuddies)
{
    TestProgram p;
    TfrmConnection *dialog = p.connection;
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Параметры соединения"));
    EXPECT_EQ(dialog->size(), QSize(392, 192));
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    const struct
    {
        const char *label;
        QString caption;
        const char *edit;
        int top;
    } rows[] = {{"Label1", QStringLiteral("Сервер:"), "edtServer", 16},
                {"Label2", QStringLiteral("Пользователь:"), "edtUser", 64},
                {"Label3", QStringLiteral("Пароль:"), "edtPassword", 112}};
    for (const auto &row : rows) {
        auto *label = child<QLabel>(dialog, row.label);
        auto *edit = child<QLineEdit>(dialog, row.edit);
        ASSERT_TRUE(label && edit) << row.edit;
        EXPECT_EQ(label->text(), row.caption);
        EXPECT_EQ(label->buddy(), edit);
        // At 56 as the form places it, or further left when the desktop's font is wider.
        EXPECT_EQ(label->y(), row.top);
        EXPECT_LE(label->x(), 56);
        EXPECT_TRUE(label->x() == 56 || label->geometry().right() < 136) << row.label;
        EXPECT_EQ(edit->geometry(), QRect(136, row.top, 177, 21));
    }
    EXPECT_EQ(child<QLabel>(dialog, "Label4")->text(), QStringLiteral("например: 127.0.0.1"));
    EXPECT_EQ(child<QLabel>(dialog, "Label5")->text(), QStringLiteral("например: anonymous"));
    EXPECT_EQ(child<QLineEdit>(dialog, "edtPassword")->echoMode(), QLineEdit::Password);
    auto *ok = child<QPushButton>(dialog, "btnOk");
    auto *close = child<QPushButton>(dialog, "btnClose");
    EXPECT_EQ(ok->text(), QStringLiteral("ОК"));
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ok->geometry(), QRect(216, 160, 81, 25));
    EXPECT_EQ(close->text(), QStringLiteral("Закрыть"));
    EXPECT_EQ(close->geometry(), QRect(304, 160, 81, 25));

    // Tab order: the three edits, then OK and Закрыть.
    QStringList order;
    QWidget *w = child<QLineEdit>(dialog, "edtServer");
    for (int i = 0; i < 5; ++i) {
        order.append(w->objectName());
        do
            w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus);
    }
    EXPECT_EQ(order, QStringList({QStringLiteral("edtServer"), QStringLiteral("edtUser"),
                                  QStringLiteral("edtPassword"), QStringLiteral("btnOk"),
                                  QStringLiteral("btnClose")}));
}

TEST(ConnectionDialog, CursorWaitsInTheFirstEmptyField)
{
    TestProgram p;
    ModalDriver driver;
    const struct
    {
        const char *server, *user, *password, *focus;
    } rows[] = {{"", "", "", "edtServer"},
                {"srv", "", "", "edtUser"},
                {"srv", "bob", "", "edtPassword"}, // a later start: server and user remembered
                {"", "bob", "pw", "edtServer"},
                {"srv", "bob", "pw", "edtServer"}};
    for (const auto &row : rows) {
        ConnectionParams params{QLatin1String(row.server), QLatin1String(row.user),
                                QLatin1String(row.password)};
        QString focused;
        driver.expect([&](QWidget *dialog) {
            focused = dialog->focusWidget()->objectName();
            static_cast<QDialog *>(dialog)->reject();
        });
        p.connection->edit(params);
        EXPECT_EQ(focused, QLatin1String(row.focus))
            << row.server << "|" << row.user << "|" << row.password;
    }
    EXPECT_TRUE(driver.unexpected().isEmpty());
}

TEST(Links, CopyrightLogoAndAboutLinksOpenWhatTheirCaptionsSay)
{
    TestProgram p;
    UrlRecorder recorder;
    p.main->show();
    click(p.widget<QLabel>("lblCopyright"));
    click(p.widget<QLabel>("Image1"));
    EXPECT_EQ(recorder.urls, QStringList({QStringLiteral("http://") + TfrmAbout::SiteAddress,
                                          QStringLiteral("http://") + TfrmAbout::SiteAddress}));
    EXPECT_EQ(p.widget<QLabel>("lblCopyright")->text(), TfrmAbout::Copyright);
    EXPECT_TRUE(p.widget<QLabel>("lblCopyright")->font().bold());

    // "О программе" opens the About window modally; its links go to
    // "http://" and "mailto:" plus exactly their captions, by mouse and by
    // keyboard (Tab from "Закрыть" to each link, highlighted while it has the
    // focus, then Enter or Space); Esc leaves it open.
    recorder.urls.clear();
    ModalDriver driver;
    bool stayedOpen = false;
    QString site, mail;
    QStringList focusPath;
    driver.expect([&](QWidget *modal) {
        ASSERT_EQ(modal, p.about);
        auto *siteLabel = child<QLabel>(modal, "Label4");
        auto *mailLabel = child<QLabel>(modal, "Label5");
        site = siteLabel->text();
        mail = mailLabel->text();
        click(siteLabel);
        click(mailLabel);
        auto focus = [&] {
            QWidget *w = modal->focusWidget();
            focusPath.append(w->objectName() +
                             (w->autoFillBackground() ? QStringLiteral(" lit") : QString()));
            return w;
        };
        focus();
        QTest::keyClick(focus(), Qt::Key_Tab);
        QTest::keyClick(focus(), Qt::Key_Return);
        QTest::keyClick(modal->focusWidget(), Qt::Key_Tab);
        QTest::keyClick(focus(), Qt::Key_Space);
        QTest::keyClick(modal->focusWidget(), Qt::Key_Tab);
        focus();
        EXPECT_FALSE(mailLabel->autoFillBackground()) << "no highlight without the focus";
        QTest::keyClick(modal, Qt::Key_Escape);
        stayedOpen = modal->isVisible();
        child<QPushButton>(modal, "btnClose")->click();
    });
    click(p.widget<QLabel>("lblAbout"));
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_TRUE(stayedOpen) << "Esc does not close the About window";
    EXPECT_FALSE(p.about->isVisible());
    EXPECT_EQ(site, TfrmAbout::SiteAddress);
    EXPECT_EQ(mail, TfrmAbout::MailAddress);
    EXPECT_EQ(recorder.urls,
              QStringList({QStringLiteral("http://") + site, QStringLiteral("mailto:") + mail,
                           QStringLiteral("http://") + site, QStringLiteral("mailto:") + mail}));
    EXPECT_EQ(focusPath,
              QStringList({"btnClose", "btnClose", "Label4 lit", "Label5 lit", "btnClose"}));
    EXPECT_TRUE(driver.unexpected().isEmpty());
}

TEST(AboutWindow, LayoutAndTexts)
{
    TestProgram p;
    TfrmAbout *about = p.about;
    EXPECT_EQ(about->windowTitle(), QStringLiteral("О программе"));
    EXPECT_EQ(about->size(), QSize(409, 233));
    auto *version = child<QLabel>(about, "lblVersion");
    EXPECT_EQ(version->text(), QStringLiteral("version 1.3"));
    EXPECT_EQ(version->geometry().right() + 1, 353) << "right edge at 353";
    EXPECT_EQ(version->y(), 38);
    auto *dark = child<QLabel>(about, "Label2");
    auto *light = child<QLabel>(about, "Label3");
    EXPECT_EQ(dark->text(), QStringLiteral("Trelvan"));
    EXPECT_EQ(light->text(), QStringLiteral("Trelvan"));
    EXPECT_EQ(dark->pos(), QPoint(184, 8));
    EXPECT_EQ(light->pos(), QPoint(185, 9));
    EXPECT_EQ(dark->font().pixelSize(), 27);
    EXPECT_TRUE(dark->font().bold());
    // The dark title is drawn over the white one.
    const QObjectList children = about->children();
    EXPECT_GT(children.indexOf(dark), children.indexOf(light));
    EXPECT_EQ(child<QLabel>(about, "lblCopyright")->text(), TfrmAbout::Copyright);
    auto *picture = child<QLabel>(about, "Image1");
    EXPECT_EQ(picture->pixmap().size(), QSize(162, 216));
    EXPECT_EQ(picture->geometry(), QRect(1, 1, 162, 216));
    EXPECT_EQ(child<QPushButton>(about, "btnClose")->geometry(), QRect(320, 200, 81, 25));
}

TEST(HelpWindow, ShowsHelpFileAfreshAtEveryOpeningButNotWhenRaised)
{
    TestProgram p([](const QString &dir) {
        writeFile(dir + QStringLiteral("Help.html"),
                  "<html><body><p>Первая версия</p><a href=\"other.html\">x</a></body></html>");
        writeFile(dir + QStringLiteral("other.html"),
                  "<html><body><p>Другая страница</p></body></html>");
    });
    auto *browser = child<QTextBrowser>(p.help.get(), "WebBrowser");
    ASSERT_TRUE(browser);
    EXPECT_EQ(p.help->windowTitle(), QStringLiteral("Справка"));
    EXPECT_FALSE(p.help->isModal());

    p.widget<QPushButton>("btnHelp")->click();
    EXPECT_TRUE(p.help->isVisible());
    EXPECT_TRUE(browser->toPlainText().contains(QStringLiteral("Первая версия")));
    EXPECT_TRUE(p.main->isEnabled()) << "the main window stays usable";

    // The user follows a link; the button while the window is open only
    // raises it.
    browser->setSource(QUrl::fromLocalFile(p.path(QStringLiteral("other.html"))));
    EXPECT_TRUE(browser->toPlainText().contains(QStringLiteral("Другая страница")));
    writeFile(p.path(QStringLiteral("Help.html")),
              "<html><body><p>Вторая версия</p></body></html>");
    p.widget<QPushButton>("btnHelp")->click();
    EXPECT_TRUE(browser->toPlainText().contains(QStringLiteral("Другая страница")));

    // Closed and opened again: the help file, read anew from disk.
    p.help->close();
    EXPECT_FALSE(p.help->isVisible());
    p.widget<QPushButton>("btnHelp")->click();
    EXPECT_TRUE(browser->toPlainText().contains(QStringLiteral("Вторая версия")))
        << browser->toPlainText().toStdString();

    // A missing file says so instead of an empty window.
    p.help->close();
    QFile::remove(p.path(QStringLiteral("Help.html")));
    p.widget<QPushButton>("btnHelp")->click();
    EXPECT_TRUE(browser->toPlainText().contains(p.path(QStringLiteral("Help.html"))));
}

TEST(HelpWindow, ShippedHelpPageIsRussianAndExplainsTheMainSteps)
{
    QFile file(QStringLiteral(TRELVAN_RESOURCES_DIR "/Help.html"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(file.readAll());
    for (const char *phrase : {"Параметры соединения", "Закачать", "Продолжить", "Папка на сервере",
                               "Удалить выделенные файлы из списка?", "Settings.ini", "Files.txt"})
        EXPECT_TRUE(html.contains(QString::fromUtf8(phrase))) << phrase;
}
