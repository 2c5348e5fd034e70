// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/ConnectionParams.h"

#include "ftp/ConnectionDefaults.h"

std::string ConnectionParams::serverOrDefault() const
{
    return server.isEmpty() ? std::string(ftp::kDefaultHost) : server.toStdString();
}

std::string ConnectionParams::userOrDefault() const
{
    return user.isEmpty() ? std::string(ftp::kDefaultUser) : user.toStdString();
}
