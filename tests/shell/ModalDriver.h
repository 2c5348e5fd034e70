// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <functional>

class QMessageBox;

/// Answers the modal windows a test brings up, one scripted action per
/// window in the order they appear. A modal window nobody expected is
/// recorded and rejected, so a test fails instead of hanging.
class ModalDriver
{
public:
    using Action = std::function<void(QWidget *modal)>;

    ModalDriver();
    ~ModalDriver();

    /// The next modal window gets this action.
    void expect(Action action);
    /// The next modal window must be a message box: it is recorded in
    /// boxes() and answered with button.
    void answerBox(int button);

    int pendingActions() const { return int(m_actions.size()); }
    /// Lets the events run until every expected window has been handled and
    /// no modal window shows: the windows opened from the main window return
    /// at once and are answered later. Widgets deleted later are gone
    /// afterwards. False when that takes longer than `ms`.
    bool waitUntilDone(int ms = 30000);
    /// Every modal window handled, by class name and title, in order.
    const QStringList &seen() const { return m_seen; }
    const QStringList &unexpected() const { return m_unexpected; }

    struct Box
    {
        QString caption;
        QString text;
        int icon = 0;
        int buttons = 0;
        bool ownedByMain = false;
    };
    const QList<Box> &boxes() const { return m_boxes; }

    /// Message boxes count as owned when their parent is this window.
    void setMainWindow(QWidget *main) { m_main = main; }

private:
    void poll();

    QTimer m_timer;
    QList<Action> m_actions;
    QPointer<QWidget> m_current;
    QPointer<QWidget> m_main;
    QStringList m_seen;
    QStringList m_unexpected;
    QList<Box> m_boxes;
};
