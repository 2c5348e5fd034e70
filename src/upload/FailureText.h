// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/FtpClient.h"

#include <QString>

/// The line the user reads about a failure of the FTP client: what failed,
/// in Russian, then the server's reply or the system's reason as they came
/// ("Сервер отказал во входе: 530 Login incorrect."). The one place where
/// the client's failures are put into words; the upload run writes the line
/// to the transfer log, the folder browser into its status line. Empty for
/// FailureKind::None and FailureKind::Stopped.
QString failureText(const ftp::Failure &failure);
