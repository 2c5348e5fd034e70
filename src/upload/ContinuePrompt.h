// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

/// Whatever asks the user whether to try again after a connection problem:
/// the connection-lost prompt, a window that passes the question on to it,
/// or a test's script.
class ContinuePrompt
{
public:
    /// The answers, numbered as the prompt's modal results.
    enum Answer : int
    {
        Continue = 1,
        Cancel = 2
    };

    /// Whether the prompt may answer by itself.
    enum class Countdown
    {
        /// Continue after ten seconds, so an unattended run goes on: a lost
        /// connection or a slow server may well come back.
        Auto,
        /// Wait for the user: trying again cannot help (the server refused
        /// the credentials), and servers lock accounts or ban addresses that
        /// keep trying.
        WaitForUser
    };

    virtual ~ContinuePrompt() = default;

    /// Asks with this message (line breaks as "\r\n").
    virtual Answer askContinue(const QString &message, Countdown countdown = Countdown::Auto) = 0;
};
