// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/DesktopSignals.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QVariantMap>
#include <QWidget>

using namespace Qt::StringLiterals;

const QString DesktopSignals::AppUri = u"application://trelvan.desktop"_s;
const QString DesktopSignals::LauncherPath = u"/trelvan/LauncherEntry"_s;

namespace {

const QString NotificationsService = u"org.freedesktop.Notifications"_s;
const QString NotificationsPath = u"/org/freedesktop/Notifications"_s;
const QString LauncherInterface = u"com.canonical.Unity.LauncherEntry"_s;
/// Enough to recognise a click on any notification that may still be up.
constexpr int KeptNotifications = 8;

/// Whether this session has a bus to find. With no address libdbus would
/// start a bus of its own for the X display, one that no desktop reads.
bool sessionBusExpected()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + u"/bus"_s);
}

} // namespace

DesktopSignals::DesktopSignals(QWidget *window) : QObject(window), m_window(window)
{
    m_next.setSingleShot(true);
    connect(&m_next, &QTimer::timeout, this, &DesktopSignals::updateLauncher);
}

void DesktopSignals::setBus(const QDBusConnection &bus)
{
    m_bus = bus;
    m_live = bus.isConnected();
    // No sender named: Qt would then ask the bus who owns the name and wait
    // for the answer. Only the ids of our own notifications count anyway.
    if (m_live)
        m_bus->connect(QString(), NotificationsPath, NotificationsService, u"ActionInvoked"_s, this,
                       SLOT(notificationAction(uint, QString)));
}

bool DesktopSignals::busReady()
{
    // Looked up when a run first needs it, not at start-up. On the desktop
    // platforms Qt's accessibility bridge has connected to the session bus
    // while the window was built, so this finds that connection made.
    if (!m_bus)
        setBus(sessionBusExpected() ? QDBusConnection::sessionBus()
                                    : QDBusConnection(u"trelvan-no-bus"_s));
    return m_live;
}

void DesktopSignals::showProgress(int percent, int filesLeft)
{
    // Called with every refresh of the progress display.
    if (!busReady())
        return;
    m_wanted = {qBound(0, percent, 100), qMax(0, filesLeft)};
    if (m_wanted == m_shown || m_next.isActive())
        return;
    const qint64 wait = m_sinceUpdate.isValid() ? launcherIntervalMs - m_sinceUpdate.elapsed() : 0;
    if (wait > 0)
        m_next.start(int(wait));
    else
        updateLauncher();
}

void DesktopSignals::updateLauncher()
{
    if (m_live && m_wanted.percent >= 0 && m_wanted != m_shown)
        sendLauncher(true);
}

void DesktopSignals::sendLauncher(bool visible)
{
    QVariantMap properties{{u"progress-visible"_s, visible}, {u"count-visible"_s, visible}};
    if (visible) {
        properties.insert(u"progress"_s, m_wanted.percent / 100.0);
        properties.insert(u"count"_s, qint64(m_wanted.filesLeft));
    }
    QDBusMessage update = QDBusMessage::createSignal(LauncherPath, LauncherInterface, u"Update"_s);
    update << AppUri << properties;
    m_bus->send(update);
    m_shown = visible ? m_wanted : Shown{};
    m_sinceUpdate.start();
}

void DesktopSignals::runEnded(const QString &message, int filesSent, int filesTotal)
{
    if (!busReady())
        return;
    m_next.stop();
    m_wanted = {};
    if (!m_window->isActiveWindow()) {
        QDBusMessage notify = QDBusMessage::createMethodCall(
            NotificationsService, NotificationsPath, NotificationsService, u"Notify"_s);
        const QVariantMap hints{{u"desktop-entry"_s, u"trelvan"_s},
                                {u"category"_s, filesSent == filesTotal ? u"transfer.complete"_s
                                                                        : u"transfer.error"_s}};
        notify << u"Trelvan"_s << uint(0) << u"trelvan"_s << message
               << filesText(filesSent, filesTotal) << QStringList{u"default"_s, u"Показать"_s}
               << hints << -1;
        auto *watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(notify), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher *call) {
                    const QDBusPendingReply<uint> reply = *call;
                    if (reply.isValid()) {
                        m_notifications.append(reply.value());
                        if (m_notifications.size() > KeptNotifications)
                            m_notifications.removeFirst();
                    }
                    call->deleteLater();
                });
    }
    if (m_shown.percent >= 0)
        sendLauncher(false);
}

QString DesktopSignals::filesText(int filesSent, int filesTotal)
{
    if (filesSent == filesTotal)
        return u"Передано файлов: %1"_s.arg(filesSent);
    return u"Передано файлов: %1 из %2"_s.arg(filesSent).arg(filesTotal);
}

void DesktopSignals::notificationAction(uint id, const QString &action)
{
    // A window closed while its run ended is on its way out.
    if (action != u"default"_s || !m_notifications.contains(id) || !m_window->isVisible())
        return;
    if (m_window->isMinimized())
        m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
    // The closing message box is modal: it comes along, in front of its window.
    if (QWidget *modal = QApplication::activeModalWidget()) {
        modal->raise();
        modal->activateWindow();
    }
}
