// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// How the tests point the FTP client at their servers. Header-only: the
// support library itself does not link the client.

#include "ftp/FtpClient.h"
#include "support/FtpTestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

/// Client options with every timeout at `timeoutMs`: short enough that a
/// broken case fails fast, long enough for a loaded machine.
inline ftp::FtpService::Options testOptions(int timeoutMs, ftp::IdleHook idle = {})
{
    ftp::FtpService::Options o;
    o.timeouts.connectMs = timeoutMs;
    o.timeouts.replyMs = timeoutMs;
    o.timeouts.dataMs = timeoutMs;
    o.timeouts.finalReplyMs = timeoutMs;
    o.idle = std::move(idle);
    return o;
}

/// A login with the server's own account; `scheme` ("ftpes://", "ftps://")
/// goes before its address.
inline std::unique_ptr<ftp::FtpConnection> loginTo(ftp::FtpService &service,
                                                   const FtpTestServer &server,
                                                   std::string *error = nullptr,
                                                   const std::string &scheme = {})
{
    return ftp::FtpConnection::connect(service, scheme + server.serverField(), server.user(),
                                       server.password(), error);
}

/// Everything a download sends, read in blocks to its end.
inline std::string readAll(ftp::FtpTransfer &t)
{
    std::string bytes;
    char buffer[ftp::kTransferBlockBytes];
    int n;
    while ((n = t.read(buffer, sizeof buffer)) > 0) {
        EXPECT_LE(n, ftp::kTransferBlockBytes);
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(n, 0);
    return bytes;
}

/// Where the first line starting with `prefix` stands; -1 when none does.
inline std::ptrdiff_t indexOfLine(const std::vector<std::string> &lines, const std::string &prefix)
{
    const auto it = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
    return it == lines.end() ? -1 : it - lines.begin();
}

/// Whether a line starts with `prefix`.
inline bool hasLine(const std::vector<std::string> &lines, const std::string &prefix)
{
    return indexOfLine(lines, prefix) >= 0;
}
