// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "state/ServerSet.h"

#include <QString>

#include <cstdint>
#include <string>

/// The servers whose logins were protected by TLS, told apart by host and
/// port as RemoteNames does, and kept in Settings.ini ([Options]
/// "TlsServers", blank-separated). A bare server field gets plain FTP from a
/// server that offers no TLS; from one listed here that would mean the
/// password in clear where it was encrypted before, so the user is asked
/// first (ftp::FtpService::Options::tlsBefore).
class TlsServers
{
public:
    /// settingsFile: where the list is kept; empty keeps it for the life of
    /// the object only.
    explicit TlsServers(QString settingsFile = {});

    /// A login to host:port was protected by TLS.
    void remember(const std::string &host, uint16_t port);

    /// Whether a login to host:port was protected by TLS before.
    bool contains(const std::string &host, uint16_t port) const;

    /// The key "TlsServers" in section "Options".
    static const QString SettingsKey;

private:
    ServerSet m_servers;
};
