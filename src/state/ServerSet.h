// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

/// A set of servers, by their "host:port" keys (RemoteNames::serverKey),
/// kept blank-separated under one key of Settings.ini's [Options]. The
/// oldest go first when the list would not fit a value of the file.
class ServerSet
{
public:
    /// settingsFile empty: the set lives as long as the object only.
    ServerSet(QString settingsFile, QString key);

    bool contains(const QString &server) const { return m_servers.contains(server); }
    /// Adds or removes the server, and stores the set when it changed.
    void set(const QString &server, bool member);

private:
    QString m_settingsFile;
    QString m_key;
    QStringList m_servers; ///< in the order they were added
};
