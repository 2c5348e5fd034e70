// SPDX-License-Identifier: GPL-3.0-or-later
#include "DesktopBus.h"

#include <QDBusMessage>

namespace {

const QString Recorder = QStringLiteral("desktop-bus-recorder");
const QString NotificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString NotificationsPath = QStringLiteral("/org/freedesktop/Notifications");

} // namespace

DesktopBus::DesktopBus()
{
    // The daemon prints its address once it listens.
    m_daemon.start(
        QStringLiteral("dbus-daemon"),
        {QStringLiteral("--session"), QStringLiteral("--nofork"),
         QStringLiteral("--print-address=1"),
         QStringLiteral("--address=unix:path=") + m_dir.filePath(QStringLiteral("bus"))});
    if (!m_daemon.waitForStarted(10000) || !m_daemon.waitForReadyRead(10000)) {
        m_error = QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString();
        return;
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    QDBusConnection bus = QDBusConnection::connectToBus(m_address, Recorder);
    m_connections << Recorder;
    // The dock listens before the name is taken: the bus handles one
    // connection's messages in order, so it listens by the time the name is ours.
    if (!bus.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                     QStringLiteral("Update"), this,
                     SLOT(launcherUpdate(QString, QVariantMap, QDBusMessage))) ||
        !bus.registerObject(NotificationsPath, this, QDBusConnection::ExportAllSlots) ||
        !bus.registerService(NotificationsService))
        m_error = QStringLiteral("the stand-ins are not on the bus: ") + bus.lastError().message();
}

DesktopBus::~DesktopBus()
{
    for (const QString &name : m_connections)
        QDBusConnection::disconnectFromBus(name);
    m_daemon.kill();
    m_daemon.waitForFinished(10000);
}

QDBusConnection DesktopBus::programConnection()
{
    const QString name = QStringLiteral("desktop-bus-program-%1").arg(m_connections.size());
    m_connections << name;
    return QDBusConnection::connectToBus(m_address, name);
}

void DesktopBus::click(uint id, const QString &action)
{
    QDBusMessage signal = QDBusMessage::createSignal(NotificationsPath, NotificationsService,
                                                     QStringLiteral("ActionInvoked"));
    signal << id << action;
    QDBusConnection(Recorder).send(signal);
}

uint DesktopBus::Notify(const QString &appName, uint, const QString &appIcon,
                        const QString &summary, const QString &body, const QStringList &actions,
                        const QVariantMap &hints, int)
{
    const uint id = uint(notifications.size()) + 1;
    notifications.append({id, appName, appIcon, summary, body, actions, hints});
    return id;
}

void DesktopBus::launcherUpdate(const QString &appUri, const QVariantMap &properties,
                                const QDBusMessage &message)
{
    launcher.append({message.path(), appUri, properties});
}
