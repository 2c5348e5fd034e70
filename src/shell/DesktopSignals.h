// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <optional>

class QWidget;

/// Tells the desktop about upload runs over the session bus. While a run
/// goes, the launcher icon shows its progress and the number of files left
/// (com.canonical.Unity.LauncherEntry, which KDE Plasma's task manager and
/// the common docks read). When a run ends while the main window is not the
/// active window, a notification (org.freedesktop.Notifications) says how it
/// ended; clicking it brings the window back.
///
/// Nothing here waits for the bus: calls are asynchronous and signals are
/// only sent. Without a session bus nothing is sent, and each hook costs one
/// test.
class DesktopSignals : public QObject
{
    Q_OBJECT
public:
    /// The desktop file the launcher entry belongs to.
    static const QString AppUri;
    /// The object path the launcher entry's signals come from.
    static const QString LauncherPath;

    /// window: the main window, whose activity decides on the notification
    /// and which a click on the notification brings to the front.
    explicit DesktopSignals(QWidget *window);

    /// The bus to talk to, instead of the session bus looked up at first use
    /// (tests give a private one).
    void setBus(const QDBusConnection &bus);

    /// The run's progress: overall percentage and files still to send.
    /// Reaches the launcher only when it changed, and at most once every
    /// launcherIntervalMs (the latest value follows when the time is up).
    void showProgress(int percent, int filesLeft);
    /// The run has ended with this message: the launcher entry is cleared,
    /// and unless the window is active the notification is sent.
    void runEnded(const QString &message, int filesSent, int filesTotal);

    /// The notification's body: "Передано файлов: 3 из 5".
    static QString filesText(int filesSent, int filesTotal);

    int launcherIntervalMs = 250;

private slots:
    void notificationAction(uint id, const QString &action);

private:
    bool busReady();
    void updateLauncher();
    void sendLauncher(bool visible);

    struct Shown
    {
        int percent = -1;
        int filesLeft = -1;
        bool operator==(const Shown &) const = default;
    };

    QWidget *m_window;
    std::optional<QDBusConnection> m_bus; // unset until looked up
    bool m_live = false;                  // m_bus is connected
    Shown m_wanted;
    Shown m_shown; // on the launcher now; percent -1: nothing shown
    QElapsedTimer m_sinceUpdate;
    QTimer m_next;               // sends m_wanted once the interval is over
    QList<uint> m_notifications; // ids of the notifications sent, newest last
};
