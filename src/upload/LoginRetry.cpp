#include "upload/LoginRetry.h"

#include "upload/FailureText.h"

#include <QElapsedTimer>

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
