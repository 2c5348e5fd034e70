// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the real-server fixtures share: a server, a service to reach it,
// local files to send and where they land on the server.

#include "FtpTestFiles.h"
#include "ftp/FtpClient.h"
#include "support/FtpTestClient.h"
#include "support/FtpTestServer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

class RealServerSession
{
protected:
    /// A login with the server's own account, the field preceded by m_scheme.
    std::unique_ptr<ftp::FtpConnection> login()
    {
        std::string error;
        auto c = loginTo(*m_service, *m_server, &error, m_scheme);
        EXPECT_TRUE(c) << error;
        return c;
    }

    /// A local file holding `bytes`, for putFile().
    QString localFile(const std::string &name, const std::string &bytes)
    {
        const QString path = m_local.filePath(QString::fromStdString(name));
        EXPECT_TRUE(writeFile(path, bytes));
        return path;
    }

    /// The remote path of `name` in the server's upload folder.
    std::string remote(const std::string &name) const
    {
        return m_server->uploadFolder() + "/" + name;
    }

    /// The raw LIST of `folder` after a CWD into it; nothing when the CWD or
    /// the listing fails.
    static std::optional<std::string> listing(ftp::FtpConnection &c, const std::string &folder)
    {
        if (!c.command("CWD " + folder))
            return std::nullopt;
        auto t = c.openTransfer("LIST", ftp::Direction::Download);
        EXPECT_TRUE(t) << c.lastError();
        if (!t)
            return std::nullopt;
        std::string bytes = readAll(*t);
        EXPECT_TRUE(t->finish());
        return bytes;
    }

    std::unique_ptr<FtpTestServer> m_server;
    std::unique_ptr<ftp::FtpService> m_service;
    QTemporaryDir m_local;
    std::string m_scheme; ///< "ftpes://", "ftps://" or "" before the server's address
};
