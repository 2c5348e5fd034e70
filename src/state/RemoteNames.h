// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "state/ServerSet.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// How paths are written for each FTP server: the bytes a command carries.
///
/// A folder chosen by browsing is sent as the server's own bytes, whatever
/// they are, also with more added after it (the run's "/file name"): the
/// browser shows names decoded, and sending the decoded text back would name
/// a folder that does not exist.
///
/// A path typed by the user is UTF-8, except for a server that does not list
/// UTF8 in FEAT and whose listings held names that are not valid UTF-8: such a
/// server is taken to use Windows-1251, and typed paths go to it in that code
/// page (as UTF-8 still when they hold a character the code page lacks). A
/// later listing of that server with UTF-8 names beyond ASCII, or a login
/// whose FEAT lists UTF8, takes it back.
///
/// Servers are told apart by host and port. Those known to use Windows-1251
/// are kept in Settings.ini ([Options] "Windows1251Servers", blank-separated),
/// so that a destination folder stored there, or one continued after a
/// restart, reaches the same folder without browsing first.
class RemoteNames
{
public:
    /// settingsFile: where the Windows-1251 servers are kept; empty keeps
    /// them for the life of the object only.
    explicit RemoteNames(QString settingsFile = {});

    /// What a logged-in connection to `server` showed: whether FEAT listed
    /// UTF8, and the folder names of a listing (none after a plain login).
    void learn(const QString &server, bool utf8Listed, const std::vector<std::string> &names = {});

    /// Whether typed paths go to `server` in Windows-1251.
    bool usesWindows1251(const QString &server) const;

    /// The user chose the folder shown as `text`, whose bytes on `server` are `bytes`.
    void choose(const QString &server, const QString &text, const std::string &bytes);

    /// The bytes that name `path`, as the user sees it, on `server`.
    std::string toServer(const QString &server, const QString &path) const;

    /// The key "Windows1251Servers" in section "Options".
    static const QString SettingsKey;

    /// How a server is named in the settings file: "host:port" ("[v6]:port"),
    /// the host lower-case as the server field names it.
    static QString serverKey(const std::string &host, uint16_t port);

private:
    static QString keyOf(const QString &server);

    ServerSet m_windows1251;
    struct Chosen
    {
        QString server;
        QString text;
        std::string bytes;
    };
    std::optional<Chosen> m_chosen;
};
