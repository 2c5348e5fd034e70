// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/UAbout.h"

#include "shell/Resources.h"
#include "shell/UrlOpener.h"
#include "shell/WindowFonts.h"
#include "ui_UAbout.h"

#include <QKeyEvent>
#include <QMouseEvent>

const QString TfrmAbout::SiteAddress = QStringLiteral("trelvan.example.org");
const QString TfrmAbout::MailAddress = QStringLiteral("support@trelvan.example.org");
const QString TfrmAbout::Copyright = QStringLiteral("© 2025 Разработчики Trelvan");

/// Blue on the window, or highlighted while it has the keyboard focus.
static void paintLink(QLabel *label, bool focused)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Highlight));
    palette.setColor(QPalette::WindowText,
                     focused ? palette.color(QPalette::HighlightedText) : QColor(Qt::blue));
    label->setPalette(palette);
    label->setAutoFillBackground(focused);
}

static void makeLink(QLabel *label)
{
    QFont font = WindowFonts::sansSerif(13);
    font.setUnderline(true);
    label->setFont(font);
    paintLink(label, false);
    label->setCursor(Qt::PointingHandCursor);
    label->adjustSize();
}

TfrmAbout::TfrmAbout(QWidget *parent) : QDialog(parent), ui(new Ui::TfrmAbout)
{
    Resources::ensureLoaded();
    ui->setupUi(this);
    setFont(WindowFonts::sansSerif(11));
    setFixedSize(409, 233);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    // Two copies of the title, the white one a pixel lower and to the right,
    // give the dark one a light edge.
    for (QLabel *title : {ui->Label3, ui->Label2}) {
        title->setFont(WindowFonts::serif(27, true));
        title->setAttribute(Qt::WA_TranslucentBackground);
        title->adjustSize();
    }
    QPalette white = ui->Label3->palette();
    white.setColor(QPalette::WindowText, Qt::white);
    ui->Label3->setPalette(white);

    ui->lblCopyright->setText(Copyright);
    ui->lblCopyright->setFont(WindowFonts::sansSerif(12));
    ui->lblCopyright->adjustSize();

    // Right-aligned: the right edge stays at 353 whatever the text's width.
    ui->lblVersion->setFont(WindowFonts::sansSerif(11));
    const int versionWidth = ui->lblVersion->sizeHint().width();
    ui->lblVersion->setGeometry(353 - versionWidth, 38, versionWidth,
                                ui->lblVersion->sizeHint().height());

    ui->Label4->setText(SiteAddress);
    ui->Label5->setText(MailAddress);
    makeLink(ui->Label4);
    makeLink(ui->Label5);
    // The links are reached with Tab after "Закрыть" and opened with Enter
    // or Space; the one with the focus is drawn highlighted.
    for (QLabel *link : {ui->Label4, ui->Label5}) {
        link->setFocusPolicy(Qt::TabFocus);
        link->installEventFilter(this);
    }

    ui->Image1->setPixmap(QPixmap(QStringLiteral(":/about.jpg")));
    connect(ui->btnClose, &QPushButton::clicked, this, &TfrmAbout::btnCloseClick);
}

TfrmAbout::~TfrmAbout()
{
    delete ui;
}

bool TfrmAbout::eventFilter(QObject *watched, QEvent *event)
{
    auto *link = qobject_cast<QLabel *>(watched);
    if (!link || (link != ui->Label4 && link != ui->Label5))
        return QDialog::eventFilter(watched, event);
    auto open = [this, link] {
        if (link == ui->Label4)
            Label4Click();
        else
            lblMailClick();
    };
    switch (event->type()) {
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            open();
        break;
    case QEvent::KeyPress:
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
            open();
            return true;
        default:
            break;
        }
        break;
    case QEvent::FocusIn:
    case QEvent::FocusOut:
        paintLink(link, event->type() == QEvent::FocusIn);
        break;
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

void TfrmAbout::showEvent(QShowEvent *event)
{
    // Every opening starts on "Закрыть", wherever the focus was left.
    ui->btnClose->setFocus();
    QDialog::showEvent(event);
}

void TfrmAbout::keyPressEvent(QKeyEvent *event)
{
    // Only "Закрыть" and the close box close this window, not Esc.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TfrmAbout::btnCloseClick()
{
    close();
}

void TfrmAbout::Label4Click()
{
    // The link goes where its caption says.
    UrlOpener::open(QUrl(QStringLiteral("http://") + ui->Label4->text()));
}

void TfrmAbout::lblMailClick()
{
    UrlOpener::open(QUrl(QStringLiteral("mailto:") + ui->Label5->text()));
}
