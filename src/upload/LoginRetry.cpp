// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/LoginRetry.h"

#include "upload/FailureText.h"

#include <QElapsedTimer>

#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

/// Whether the server refused the user name or password, rather than being
/// busy: 530 and 430 (RFC 959 section 4.2, RFC 7151), and any other
/// permanent reply to USER or PASS. A 421 "too many connections" passes.
bool credentialsRefused(const ftp::Failure &failure)
{
    if (failure.kind != ftp::FailureKind::Login)
        return false;
    const int code = failure.reply.size() >= 3 ? std::atoi(failure.reply.substr(0, 3).c_str()) : 0;
    return code == 430 || code >= 500;
}

} // namespace

QString credentialsPromptText(const QString &reason)
{
    return u"%1\r\nПроверьте имя пользователя и пароль. Нажмите \"продолжить\", чтобы "
           u"попробовать еще раз, или \"отмена\", чтобы исправить их кнопкой «Настроить ...»."_s
               .arg(reason);
}

LoginEnd logInWithRetries(ftp::FtpService &service, const ConnectionParams &params,
                          const LoginPacing &pacing, LoginWatcher &watcher,
                          std::unique_ptr<ftp::FtpConnection> &connection)
{
    const std::string server = params.serverOrDefault();
    const std::string user = params.userOrDefault();
    const std::string password = params.password.toStdString();
    connection.reset();
    QElapsedTimer window;
    window.start();
    // Attempts come every half second: the reason is told when it first
    // comes and when it changes, not once per attempt.
    QString lastReason;
    for (;;) {
        ftp::Failure failure;
        connection =
            ftp::FtpConnection::connect(service, server, user, password, nullptr, &failure);
        if (const QString reason = failureText(failure); reason != lastReason) {
            watcher.loginReasonChanged(reason);
            lastReason = reason;
        }
        watcher.processEvents();
        // A stop must win over a login that never succeeds: the program may
        // be quitting.
        if (watcher.stopRequested()) {
            connection.reset();
            return LoginEnd::Stopped;
        }
        // Asking about the certificate again at every attempt, or retrying
        // without asking, would both be wrong.
        if (!connection && service.certificateRefused())
            return LoginEnd::CertificateRefused;
        // Nor the question whether to send a password in clear.
        if (!connection && service.clearLoginRefused())
            return LoginEnd::ClearLoginRefused;
        if (!connection && pacing.singleAttempt)
            return LoginEnd::Failed;
        // A refused password is not tried again behind the user's back: the
        // prompt waits, and the next attempt comes only on Continue.
        if (!connection && credentialsRefused(failure)) {
            if (watcher.askContinue(credentialsPromptText(failureText(failure)),
                                    ContinuePrompt::Countdown::WaitForUser) !=
                    ContinuePrompt::Continue ||
                watcher.stopRequested())
                return watcher.stopRequested() ? LoginEnd::Stopped : LoginEnd::Cancelled;
            lastReason.clear(); // the next refusal is told again
            window.restart();
            continue;
        }
        if (window.elapsed() > pacing.windowMs && !pacing.singleAttempt) {
            if (watcher.askContinue(pacing.timeoutText) != ContinuePrompt::Continue) {
                connection.reset();
                return LoginEnd::Cancelled;
            }
            // The prompt may have been answered because the program is closing.
            if (watcher.stopRequested()) {
                connection.reset();
                return LoginEnd::Stopped;
            }
            window.restart();
        }
        if (connection)
            return LoginEnd::LoggedIn;
        watcher.pause(pacing.retryPauseMs);
        if (watcher.stopRequested())
            return LoginEnd::Stopped;
    }
}
