// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/UHelp.h"

#include "shell/WindowFonts.h"
#include "ui_UHelp.h"

#include <QFileInfo>
#include <QScreen>
#include <QShowEvent>

TfrmHelp::TfrmHelp(const QString &helpFile, QWidget *parent)
    : QDialog(parent), ui(new Ui::TfrmHelp), m_helpFile(helpFile)
{
    ui->setupUi(this);
    setFont(WindowFonts::sansSerif(11));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowFlag(Qt::WindowMinMaxButtonsHint, true);
    resize(900, 600);
    ui->WebBrowser->setOpenExternalLinks(true);
}

TfrmHelp::~TfrmHelp()
{
    delete ui;
}

void TfrmHelp::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // A window coming back from the task bar is no new opening.
    if (!event->spontaneous())
        FormShow();
}

void TfrmHelp::FormShow()
{
    if (QScreen *screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    // Whatever the user followed inside the page last time is dropped.
    ui->WebBrowser->clearHistory();
    ui->WebBrowser->clear();
    if (!QFileInfo::exists(m_helpFile)) {
        ui->WebBrowser->setPlainText(QStringLiteral("Файл справки не найден: %1").arg(m_helpFile));
        return;
    }
    const QUrl url = QUrl::fromLocalFile(m_helpFile);
    ui->WebBrowser->setSource(url);
    ui->WebBrowser->reload();
}
