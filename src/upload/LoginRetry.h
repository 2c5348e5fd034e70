// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Logging in as the upload run and the folder browser both do it: attempt
// after attempt, the window live in between, until one succeeds, the user
// gives up at the prompt, the user refused the server's certificate, or a
// stop is requested.

#include "ftp/FtpClient.h"
#include "state/ConnectionParams.h"
#include "upload/ContinuePrompt.h"

#include <QString>

#include <memory>

/// What the login attempts need from the one who makes them; askContinue()
/// is the prompt that comes when logging in takes too long.
class LoginWatcher : public ContinuePrompt
{
public:
    /// Why the attempts fail, whenever it differs from the last attempt's
    /// (starting from none); empty when an attempt failed without a reason
    /// or succeeded.
    virtual void loginReasonChanged(const QString &reason) = 0;
    /// Lets the window handle its events; after every attempt.
    virtual void processEvents() = 0;
    /// Whether to give up at once; asked after every attempt and every pause.
    virtual bool stopRequested() const = 0;
    /// Waits between two attempts with the window live; may end early when
    /// a stop is requested.
    virtual void pause(int ms) = 0;
};

/// How long the attempts go on before the prompt asks, and what it says.
struct LoginPacing
{
    /// Between two failed attempts: servers ban clients that hammer them.
    int retryPauseMs = 2000;
    int windowMs = 10000; ///< past this the prompt asks whether to go on
    QString timeoutText;  ///< the prompt's message
    /// One attempt and no prompt: the caller holds up something that must
    /// not wait long (a folder listing during an upload run).
    bool singleAttempt = false;
};

enum class LoginEnd
{
    LoggedIn,
    Stopped,            ///< watcher.stopRequested()
    CertificateRefused, ///< the user refused the server's certificate: nothing to retry
    ClearLoginRefused,  ///< no password in clear to a server that used TLS before
    Cancelled,          ///< Cancel at the prompt
    Failed              ///< the single attempt (LoginPacing::singleAttempt) failed
};

/// After the login window the prompt asks before the next attempt
/// goes on, also when the attempt that outlasted it succeeded: Cancel then
/// wins. connection holds the logged-in connection for LoggedIn, else null.
/// The prompt's text when the server refused the user name or password;
/// `reason` is the log line that says so, with the server's reply.
QString credentialsPromptText(const QString &reason);

/// Logs in to params' server (its defaults for empty fields) through
/// service, attempt after attempt. A refusal of the user name or password is
/// put to the user at once, and the prompt waits for an answer: the next
/// attempt comes only on Continue.
LoginEnd logInWithRetries(ftp::FtpService &service, const ConnectionParams &params,
                          const LoginPacing &pacing, LoginWatcher &watcher,
                          std::unique_ptr<ftp::FtpConnection> &connection);
