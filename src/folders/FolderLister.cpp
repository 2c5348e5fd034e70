// SPDX-License-Identifier: GPL-3.0-or-later
#include "folders/FolderLister.h"

#include "folders/FolderPath.h"
#include "folders/ListingReader.h"
#include "state/RemoteNames.h"
#include "upload/FailureText.h"

const QString FolderLister::TextConnecting = QStringLiteral("Соединение...");
const QString FolderLister::TextAuthorizing = QStringLiteral("Авторизация на сервере...");
const QString FolderLister::TextRequesting = QStringLiteral("Запрос списка ...");
const QString FolderLister::TextReady = QStringLiteral("Готово");
const QString FolderLister::TextListFailed = QStringLiteral("Не удалось получить список папок");
const QString FolderLister::TextCertificateRefused = QStringLiteral("Сертификат сервера отклонён");
const QString FolderLister::TextNoService =
    QStringLiteral("Не могу установить соединение с Internet");
const QString FolderLister::TextLoginTimeout =
    QStringLiteral("Время ожидания истекло.\r\nПроверьте соединение и попробуйте еще раз.");

namespace {

// A status text followed by why the step failed.
QString withReason(const QString &status, const QString &reason)
{
    if (reason.isEmpty())
        return status;
    return status + (status.endsWith(u'.') ? QStringLiteral(" ") : QStringLiteral(". ")) + reason;
}

} // namespace

FolderLister::FolderLister(BrowserView &view, std::function<ConnectionParams()> params,
                           std::function<ftp::FtpService::Options()> ftpOptions, RemoteNames *names)
    : m_view(view), m_params(std::move(params)), m_ftpOptions(std::move(ftpOptions)), m_names(names)
{
}

FolderLister::~FolderLister()
{
    closeHandles();
}

bool FolderLister::step(const std::string &target)
{
    m_abort = false;
    const bool ok = listTarget(target);
    closeHandles();
    return ok;
}

QString FolderLister::server() const
{
    return m_params ? m_params().server : QString();
}

bool FolderLister::listTarget(const std::string &target)
{
    m_view.clearEntries();
    if (!m_connection && !connectAndLogIn())
        return false;
    m_view.setStatus(TextRequesting);
    m_currentPath = folders::nextPath(m_currentPath, target);

    bool mlsdRefused = false;
    for (int retry = 0;; ++retry) {
        // A refused CWD goes unnoticed: the listing then shows the login folder.
        m_connection->command("CWD " + m_currentPath);
        folders::ListingFormat format = folders::ListingFormat::List;
        std::unique_ptr<ftp::FtpTransfer> transfer = openListing(mlsdRefused, format);
        if (transfer) {
            const folders::FolderListing listing = folders::readFolderNames(*transfer, format);
            transfer->close();
            return showListing(listing);
        }
        // Logins can succeed quickly while every listing fails (no data
        // connection gets through), and then the login prompt never comes to
        // let the user stop: the retries are bounded instead.
        if (retry == (runGoing ? 0 : ListRetries) || m_abort) {
            m_view.setStatus(withReason(TextListFailed, failureText(m_connection->lastFailure())));
            return false;
        }
        if (!connectAndLogIn())
            return false;
        m_view.setStatus(TextRequesting);
    }
}

std::unique_ptr<ftp::FtpTransfer> FolderLister::openListing(bool &mlsdRefused,
                                                            folders::ListingFormat &format)
{
    // MLSD (RFC 3659 section 7) names folders by a fact and sends names
    // exactly; a server that lists MLST in FEAT has it.
    if (!mlsdRefused && m_connection->hasFeature("MLST")) {
        format = folders::ListingFormat::Mlsd;
        auto transfer = m_connection->openTransfer("MLSD", ftp::Direction::Download);
        // Only a permanent refusal of the command itself (5xx) means LIST
        // may do better, at once on the same login. A data connection that
        // fails, a 4xx or a lost connection would fail LIST alike: those
        // count as a failed listing, tried again after a new login.
        const ftp::Failure &failure = m_connection->lastFailure();
        if (transfer || failure.kind != ftp::FailureKind::CommandRefused ||
            failure.command != "MLSD" || failure.reply.rfind('5', 0) != 0)
            return transfer;
        mlsdRefused = true;
    }
    format = folders::ListingFormat::List;
    return m_connection->openTransfer("LIST", ftp::Direction::Download);
}

bool FolderLister::showListing(const folders::FolderListing &listing)
{
    // A listing beyond the limits would be just as big on the next try.
    if (listing.tooLarge) {
        m_view.setStatus(TextListFailed);
        return false;
    }
    if (m_names)
        m_names->learn(server(), m_connection->hasFeature("UTF8"), listing.names);
    if (m_currentPath != "/")
        m_view.addEntry("..");
    for (const std::string &name : listing.names)
        m_view.addEntry(name);
    m_view.setStatus(TextReady);
    m_view.showPath(QString::fromStdString(folders::displayPath(m_currentPath)));
    return true;
}

bool FolderLister::connectAndLogIn()
{
    closeHandles();
    m_view.setStatus(TextConnecting);
    m_service = ftp::FtpService::open(serviceOptions());
    if (!m_service) {
        m_view.setStatus(TextNoService);
        return false;
    }
    const ConnectionParams params = m_params ? m_params() : ConnectionParams{};
    m_view.setStatus(TextAuthorizing);
    m_lastLoginReason.clear();
    const LoginPacing pacing{loginRetryPauseMs, loginWindowMs, TextLoginTimeout, runGoing};
    const LoginEnd end = logInWithRetries(*m_service, params, pacing, *this, m_connection);
    // The reason begins with the same words and names the fault.
    if (end == LoginEnd::CertificateRefused)
        m_view.setStatus(m_lastLoginReason.isEmpty() ? TextCertificateRefused : m_lastLoginReason);
    else if (end == LoginEnd::ClearLoginRefused)
        m_view.setStatus(m_lastLoginReason);
    return end == LoginEnd::LoggedIn;
}

void FolderLister::closeHandles()
{
    m_connection.reset();
    m_service.reset();
}

ftp::FtpService::Options FolderLister::serviceOptions() const
{
    ftp::FtpService::Options options = m_ftpOptions ? m_ftpOptions() : ftp::FtpService::Options{};
    // The window keeps repainting and taking clicks while the client waits,
    // and a close request ends the wait at once.
    ftp::IdleHook window = options.idle;
    if (!window)
        window = [&view = m_view] {
            view.processEvents();
            return true;
        };
    options.idle = [window, &abort = m_abort] { return window() && !abort; };
    return options;
}

ContinuePrompt::Answer FolderLister::askContinue(const QString &message, Countdown countdown)
{
    return m_view.askContinue(message, countdown);
}

void FolderLister::loginReasonChanged(const QString &reason)
{
    // The status line says why the attempts fail, updated when that changes.
    m_view.setStatus(withReason(TextAuthorizing, reason));
    m_lastLoginReason = reason;
}

void FolderLister::processEvents()
{
    m_view.processEvents();
}

bool FolderLister::stopRequested() const
{
    return m_abort;
}

void FolderLister::pause(int ms)
{
    m_view.pause(ms);
}
