// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/UConnLost.h"

#include "ui_UConnLost.h"

#include <QShowEvent>
#include <QStyle>
#include <QTimer>

TfrmConnLost::TfrmConnLost(QWidget *parent)
    : QDialog(parent), ui(new Ui::TfrmConnLost), m_timer(new QTimer(this))
{
    ui->setupUi(this);
    setFixedSize(352, 122);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    ui->Image2->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));

    m_timer->setObjectName(QStringLiteral("Timer"));
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &TfrmConnLost::TimerTimer);
    connect(ui->btnContinue, &QPushButton::clicked, this, &TfrmConnLost::btnContinueClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &TfrmConnLost::btnCancelClick);
}

TfrmConnLost::~TfrmConnLost()
{
    delete ui;
}

TfrmConnLost::Answer TfrmConnLost::ask(const QString &message, Countdown countdown)
{
    m_autoContinue = countdown == Countdown::Auto;
    QString text = message;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    ui->lblText->setText(text);
    return exec() == Continue ? Continue : Cancel;
}

void TfrmConnLost::setTickIntervalForTest(int ms)
{
    m_timer->setInterval(ms);
}

void TfrmConnLost::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    if (!m_autoContinue) {
        ui->btnContinue->setText(QStringLiteral("Продолжить"));
        return;
    }
    // FormShow: every showing starts the count again at ten.
    m_countdown = 10;
    m_timer->start();
    TimerTimer();
}

void TfrmConnLost::TimerTimer()
{
    ui->btnContinue->setText(QStringLiteral("Продолжить [ %1 ]").arg(m_countdown));
    --m_countdown;
    if (m_countdown < 0)
        ui->btnContinue->click();
}

void TfrmConnLost::btnContinueClick()
{
    done(Continue);
}

void TfrmConnLost::btnCancelClick()
{
    done(Cancel);
}

void TfrmConnLost::done(int result)
{
    // FormClose: no tick may press Continue after the prompt has closed,
    // whichever way it closed.
    m_timer->stop();
    QDialog::done(result);
}
