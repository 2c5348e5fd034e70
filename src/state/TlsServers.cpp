// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/TlsServers.h"

#include "state/RemoteNames.h"

const QString TlsServers::SettingsKey = QStringLiteral("TlsServers");

TlsServers::TlsServers(QString settingsFile) : m_servers(std::move(settingsFile), SettingsKey) {}

void TlsServers::remember(const std::string &host, uint16_t port)
{
    m_servers.set(RemoteNames::serverKey(host, port), true);
}

bool TlsServers::contains(const std::string &host, uint16_t port) const
{
    return m_servers.contains(RemoteNames::serverKey(host, port));
}
