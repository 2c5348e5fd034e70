// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "upload/ContinuePrompt.h"

#include <QDialog>

class QTimer;
namespace Ui {
class TfrmConnLost;
}

/// The connection-lost prompt: asks whether to try again (Continue) or give
/// up (Cancel) and answers Continue by itself ten seconds after it appears,
/// so an unattended upload keeps retrying. Its modal results are the
/// answers: 1 Continue, 2 Cancel.
class TfrmConnLost : public QDialog, public ContinuePrompt
{
    Q_OBJECT
public:
    explicit TfrmConnLost(QWidget *parent = nullptr);
    ~TfrmConnLost() override;

    /// Shows message (line breaks as "\r\n" or "\n") modally and returns the
    /// answer. Closing the window from its title bar counts as Cancel.
    /// With Countdown::WaitForUser it never answers by itself.
    Answer ask(const QString &message, Countdown countdown = Countdown::Auto);
    Answer askContinue(const QString &message, Countdown countdown = Countdown::Auto) override
    {
        return ask(message, countdown);
    }

    /// Test hook: the countdown's tick interval (1000 ms normally).
    void setTickIntervalForTest(int ms);
    /// Test hook: the countdown's timer, to watch its ticks.
    QTimer *countdownTimer() const { return m_timer; }
    /// Test hook: one tick of the countdown now.
    void tickForTest() { TimerTimer(); }

    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void TimerTimer();
    void btnContinueClick();
    void btnCancelClick();

private:
    Ui::TfrmConnLost *ui;
    QTimer *m_timer;
    int m_countdown = 0;
    bool m_autoContinue = true;
};
