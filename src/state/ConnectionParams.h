// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <string>

/// Server, user and password as the connection dialog holds them: kept as
/// typed, empty fields included.
struct ConnectionParams
{
    QString server;
    QString user;
    QString password;

    /// The server field to connect to: "127.0.0.1" when it is empty.
    std::string serverOrDefault() const;
    /// The user to log in as: "anonymous" when it is empty.
    std::string userOrDefault() const;
};
