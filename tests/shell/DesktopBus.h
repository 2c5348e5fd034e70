// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

class QDBusMessage;

/// A private session bus for one test: a dbus-daemon of its own, with a
/// stand-in notification server (it owns org.freedesktop.Notifications) and
/// a stand-in dock (it listens to com.canonical.Unity.LauncherEntry), both of
/// which record what they are told.
class DesktopBus : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Notification
    {
        uint id = 0;
        QString appName;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
    };
    struct LauncherUpdate
    {
        QString path;
        QString appUri;
        QVariantMap properties;
    };

    DesktopBus();
    ~DesktopBus() override;

    /// Empty when the bus and both stand-ins are up; otherwise what failed.
    QString error() const { return m_error; }
    /// A connection of the program's own to this bus.
    QDBusConnection programConnection();
    /// What a click on a notification sends.
    void click(uint id, const QString &action = QStringLiteral("default"));

    QList<Notification> notifications;
    QList<LauncherUpdate> launcher;

public slots:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon,
                const QString &summary, const QString &body, const QStringList &actions,
                const QVariantMap &hints, int expireTimeout);

private slots:
    void launcherUpdate(const QString &appUri, const QVariantMap &properties,
                        const QDBusMessage &message);

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QString m_error;
    QStringList m_connections;
};
