// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/UploadRun.h"

#include "ftp/Hasher.h"
#include "state/AtomicFile.h"
#include "state/ListFile.h"
#include "state/ProfileFile.h"
#include "state/RemoteNames.h"
#include "state/ResumeMarker.h"
#include "state/UploadList.h"
#include "state/Windows1251.h"
#include "upload/FailureText.h"
#include "upload/LoginRetry.h"
#include "upload/UploadView.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

const QString UploadRun::TextInterrupted = u"Закачка файла была прервана"_s;
const QString UploadRun::TextCompleted = u"Закачка файлов на сервер завершена"_s;
const QString UploadRun::TextIncomplete =
    u"Закачка завершена, но не все файлы переданы на сервер"_s;
const QString UploadRun::TextNoService = u"Не могу установить соединение с Internet"_s;
const QString UploadRun::TextLoginTimeout =
    u"Время ожидания истекло.\r\nПроверьте соединение, имя сервера, имя пользователя, пароль и "
    u"попробуйте еще раз."_s;
const QString UploadRun::TextConnectionLost =
    u"Соединение с Internet потеряно.\r\nВосстановите соединение и нажмите \"продолжить\"\r\n"
    u"или нажмите \"отмена\"."_s;
const QString UploadRun::TextNotFound = u"Не найден"_s;
const QString UploadRun::TextError = u"Ошибка"_s;
const QString UploadRun::TextNameTaken = u"Имя повторяется"_s;

namespace {

constexpr int BlockSize = 4096;
/// The local file is read many blocks at a time, into room the transfer
/// sends from: one read and one send per 64 KiB instead of one per block.
/// At this size a slow link still shows progress and answers Cancel within
/// a fraction of a second.
constexpr qint64 ReadAhead = ftp::kUploadGatherBytes;
/// The part of a file the server already holds is read for its digest in
/// larger pieces: nothing waits on a socket meanwhile.
constexpr qint64 DigestReadBytes = 1024 * 1024;
/// How often a file may be started afresh in one run because it changed on
/// disk while it was being sent.
constexpr int MaxFreshStarts = 3;
/// How long the server's size of a file must stay the same before the file is
/// continued from it, and how often it may change before the last answer is
/// taken anyway (see settledRemoteSize).
constexpr int SizeSettleMs = 300;
constexpr int MaxSizeChanges = 20;
/// How often the server may refuse a file's final reply, or hold another size
/// than the local one, before the file is given up for this run.
constexpr int MaxRefusedVerdicts = 2;
/// How long the server's reply may take after a data connection broke, before
/// the break counts as a lost connection.
constexpr int DataVerdictMs = 2000;
/// How many files sent since Files.txt was written the marker may name.
constexpr int MaxSentInMarker = 64;

const QString OkSuffix = u" ОК"_s;
const QString OptionsSection = u"Options"_s;

/// Rounds to the nearest whole number, a half to the even neighbour.
int roundEven(double value)
{
    return int(std::nearbyint(value));
}

int percentOf(qint64 part, qint64 whole)
{
    // Nothing to send counts as everything sent.
    if (whole <= 0)
        return 100;
    return roundEven(double(part) * 100.0 / double(whole));
}

/// "hh:nn:ss" of a duration in days, shown as a time of day.
QString formatTimeOfDay(double days)
{
    double fraction = days - std::floor(days);
    if (!std::isfinite(fraction) || fraction < 0)
        fraction = 0;
    auto seconds = qint64(std::floor(fraction * 86400.0 + 1e-6));
    seconds %= 86400;
    return u"%1:%2:%3"_s.arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

/// What a local file looked like when it was opened.
struct FileStamp
{
    qint64 size = 0;
    qint64 mtimeNs = 0;
    bool operator==(const FileStamp &) const = default;
};

FileStamp stampOf(const struct stat &st)
{
    return FileStamp{qint64(st.st_size),
                     qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

/// A local file open for reading; closes itself.
class LocalFile
{
public:
    ~LocalFile() { close(); }
    /// Opens a regular file only: a FIFO or a device would block or never end.
    bool open(const QString &path, QString *status)
    {
        const QByteArray name = QFile::encodeName(path);
        struct stat st
        {
        };
        if (::stat(name.constData(), &st) != 0) {
            *status = UploadRun::TextNotFound;
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            *status = UploadRun::TextError;
            return false;
        }
        m_fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            *status = UploadRun::TextError;
            close();
            return false;
        }
        m_stamp = stampOf(st);
        return true;
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool seek(qint64 offset) { return ::lseek(m_fd, off_t(offset), SEEK_SET) == off_t(offset); }
    /// Reads exactly len bytes unless the file ended early; returns the count.
    qint64 readFully(char *buffer, qint64 len)
    {
        qint64 got = 0;
        while (got < len) {
            const ssize_t n = ::read(m_fd, buffer + got, size_t(len - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        return got;
    }
    /// Whether size or last-write time changed since the file was opened.
    bool changed() const
    {
        struct stat st
        {
        };
        return ::fstat(m_fd, &st) != 0 || !(stampOf(st) == m_stamp);
    }
    const FileStamp &stamp() const { return m_stamp; }

private:
    int m_fd = -1;
    FileStamp m_stamp;
};

/// Creates or empties the local file that is put to create a remote file;
/// never follows a link planted in its place.
bool createEmptyFile(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd =
        ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    struct stat st
    {
    };
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular;
}

/// What sending one file came to.
enum class FileResult
{
    Sent,
    PassedOver,     ///< given up for this run; the sweep goes on
    ConnectionLost, ///< Continue at the prompt: a new pass continues the file
    Stop,           ///< the run ends early
    FreshStart,     ///< the local file changed: send it again from its start
};

/// What one sweep over the list came to.
enum class Sweep
{
    Swept,   ///< every item of the sweep handled
    NewPass, ///< the connection was lost: a new pass goes on
    Stop,    ///< the run ends early
};

/// How the passes ended. The closing message, what leaves the list and the
/// run's outcome all follow from it.
enum class End
{
    Completed,   ///< every item sent
    Incomplete,  ///< every item handled, some passed over
    NoService,   ///< Cancel when the FTP service could not be opened: an ordinary end
    Interrupted, ///< Cancel at another prompt, Close, or an error box: ends early
    Withdrawn,   ///< an ordinary end with nothing sent: the file being sent was deleted
};

QString resultText(End end)
{
    switch (end) {
    case End::Completed:
        return UploadRun::TextCompleted;
    case End::Incomplete:
        return UploadRun::TextIncomplete;
    case End::NoService:
    case End::Interrupted:
    case End::Withdrawn:
        break;
    }
    return UploadRun::TextInterrupted;
}

UploadRun::Outcome outcomeOf(End end)
{
    switch (end) {
    case End::Completed:
        return UploadRun::Outcome::Completed;
    case End::Incomplete:
        return UploadRun::Outcome::Incomplete;
    case End::NoService:
    case End::Interrupted:
    case End::Withdrawn:
        break;
    }
    return UploadRun::Outcome::Interrupted;
}

} // namespace

/// What a server's refusal of a transfer command, or its reply to a broken
/// transfer, says about the file.
enum class Refusal
{
    None,
    Lost,     ///< no refusal: the connection failed
    Passing,  ///< a 4xx: try again later, the part the server holds kept
    Storage,  ///< 552 or 452: no room (disk full, quota): an error, the part kept
    NoAppend, ///< the server will not append or restart (proftpd's default, 502, 504)
    Final     ///< another 5xx: this file cannot be sent so
};

/// Sorts a refusal by its reply. proftpd refuses appending and restarting
/// with a 451 that says so; a 451 otherwise is a passing local error.
Refusal refusalOf(int code, const std::string &text)
{
    if (code == 452 || code == 552)
        return Refusal::Storage;
    if (code == 500 || code == 502 || code == 504 ||
        (code == 451 && text.find("not permitted") != std::string::npos))
        return Refusal::NoAppend;
    if (code >= 400 && code < 500)
        return Refusal::Passing;
    return code >= 500 ? Refusal::Final : Refusal::Lost;
}

/// One run's working state; lives for exec().
struct UploadRun::Impl
{
    UploadRun &run;
    UploadView &view;
    UploadList &list;
    UploadState &state;

    qint64 sent = 0;
    std::unique_ptr<ftp::FtpService> service;
    std::unique_ptr<ftp::FtpConnection> connection;
    std::unique_ptr<ftp::FtpTransfer> transfer;
    // The time left is reckoned from the bytes sent since the pass began.
    qint64 passStartNs = 0;
    qint64 passSent = 0;
    // While blocks flow the clock is read once per block; these say when the
    // display is refreshed and the window serviced next (nanoseconds on it).
    QElapsedTimer blockClock;
    qint64 nextRefreshNs = 0;
    qint64 nextFiguresNs = 0;
    qint64 nextServiceNs = 0;
    UploadView::Progress shownFigures; // byte counts and time left on show
    qint64 nextListSaveNs = 0;
    bool firstQuery = true;
    int filesSent = 0;
    QStringList sentSinceSave;           // sent, still in Files.txt: the marker names them
    bool withdrawn = false;              // the file being sent was taken off the list
    Refusal openRefusal = Refusal::None; // why the last openAppend opened nothing
    QSet<quint64> passedOver;            // items given up for this run
    QHash<quint64, int> freshStarts;     // items started afresh because they changed
    QSet<quint64> forceFresh;            // items to be created afresh however the flag stands
    QHash<quint64, int> refusedVerdicts; // final replies refused, sizes that differed
    // Which item a remote path went to in this run: a second file of the
    // same name would overwrite the first on the server.
    QHash<QString, QString> remoteClaims; // remote path -> local path
    // When the server can digest a file, the file being sent is digested as
    // it is read and the two are compared once the server has it all.
    std::unique_ptr<ftp::Hasher> fileHash;
    bool hashRefused = false; // this connection could not give a digest: not asked again
    // Commands that need no answer in between go to the server together,
    // unless it once failed to answer them so.
    bool pipelining = true;
    QString askedAhead;       // the remote path whose size query is on its way
    QString nextRemote;       // where the file after this one goes, if known
    bool appeRefused = false; // this connection refuses APPE: whole files go by STOR
    QSet<quint64> hashResent; // items sent again because the digests differed

    explicit Impl(UploadRun &r);
    ~Impl();
    Impl(const Impl &) = delete;
    Impl &operator=(const Impl &) = delete;

    /// Nanoseconds on the clock the time left is measured on.
    qint64 clockNs() const { return run.clockNs ? run.clockNs() : blockClock.nsecsElapsed(); }
    void closeHandles();
    /// The connection-lost prompt.
    ContinuePrompt::Answer ask(const QString &message);
    /// The transfer log says why a step failed, so that the user need not
    /// guess from the prompt alone.
    void logReason(const ftp::Failure &failure);
    /// Waits, letting the window run; ends early when Close is pressed.
    void pause(int ms);
    /// The FTP options for a pass: the window's, and every wait ends when
    /// Close is pressed.
    ftp::FtpService::Options serviceOptions() const;
    /// Files.txt := the items not sent yet. False when it cannot be written.
    bool saveUnsent();
    void warnListNotSaved();

    /// Logs in, asking through the prompt when it takes too long. False: Cancel.
    bool logIn();
    /// The bytes that name a remote path on this server.
    std::string wire(const QString &remotePath) const;
    // The remote file: create it, learn its size, open the transfer that fills it.
    std::optional<FileResult> clearRemote(quint64 id, const QString &remotePath,
                                          AtomicFile::Pending &marker);
    bool createRemote(const QString &remotePath, ftp::Failure *why);
    FileResult createFailed(const QString &remotePath, const ftp::Failure &why);
    std::optional<FileResult> checkCreatedEmpty(quint64 id, const QString &remotePath);
    bool continuesMarked(const QString &localPath);
    std::optional<int64_t> settledRemoteSize(const QString &remotePath);
    bool refusedByServer() const;
    /// The last reply's refusal; Lost when the server refused nothing.
    Refusal lastRefusal() const;
    FileResult refusedToStore(const QString &remotePath);
    FileResult dataBroken(quint64 id, const QString &remotePath, qint64 fileSize);
    std::unique_ptr<ftp::FtpTransfer> openAppend(const QString &remotePath, qint64 *offset);

    void showProgress(int row, qint64 offset, qint64 fileSize, bool figures);
    void refreshAndService(quint64 id, qint64 offset, qint64 fileSize, bool fileDone, qint64 now);
    FileResult connectionLost();
    /// Gives the item up for this run, with `status` in its row.
    FileResult passOver(quint64 id, const QString &status);

    /// Where a pending item goes on the server; empty when it is not pending.
    QString remotePathOf(quint64 id) const;
    /// Sends one pending item: prepares the remote file, sends the blocks, finishes.
    FileResult sendFile(quint64 id);
    std::optional<FileResult> prepareRemote(quint64 id, const QString &localPath,
                                            const QString &remotePath, LocalFile &local,
                                            qint64 *offset);
    bool digestHeldPart(LocalFile &local, qint64 offset);
    FileResult sendBlocks(quint64 id, LocalFile &local, const QString &remotePath, qint64 offset);
    FileResult startAfresh(quint64 id);
    FileResult finishFile(quint64 id, LocalFile &local, const QString &remotePath, qint64 fileSize,
                          qint64 startOffset);
    FileResult verdictRefused(quint64 id, const QString &remotePath, const QString &reason,
                              qint64 fileSize, bool afresh);
    std::optional<FileResult> checkDigest(quint64 id, const QString &remotePath, qint64 fileSize);

    /// Items still to be sent in this run. Counted once and then kept as the
    /// run settles items, so that a long list costs no more per file than a
    /// short one; counted again when rows come or go.
    int pendingCount();
    bool anyPending() { return pendingCount() > 0; }
    int pendingKnown = -1; // -1: to be counted
    QList<QMetaObject::Connection> listWatch;
    End passes();
    Sweep sweep();
};

UploadRun::Impl::Impl(UploadRun &r) : run(r), view(r.m_view), list(r.m_list), state(r.m_state)
{
    const auto recount = [this] { pendingKnown = -1; };
    listWatch = {QObject::connect(&list, &QAbstractItemModel::rowsInserted, recount),
                 QObject::connect(&list, &QAbstractItemModel::rowsRemoved, recount),
                 QObject::connect(&list, &QAbstractItemModel::modelReset, recount)};
}

UploadRun::Impl::~Impl()
{
    for (const QMetaObject::Connection &c : listWatch)
        QObject::disconnect(c);
}

void UploadRun::Impl::closeHandles()
{
    // Transfer, connection, service: the order the handles were opened in, reversed.
    if (transfer)
        transfer->close();
    transfer.reset();
    connection.reset();
    service.reset();
}

ContinuePrompt::Answer UploadRun::Impl::ask(const QString &message)
{
    return view.askContinue(message);
}

void UploadRun::Impl::logReason(const ftp::Failure &failure)
{
    const QString reason = failureText(failure);
    if (!reason.isEmpty())
        view.addLogLine(reason);
}

void UploadRun::Impl::pause(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms && !state.stop) {
        view.processEvents();
        ::usleep(10'000);
    }
}

ftp::FtpService::Options UploadRun::Impl::serviceOptions() const
{
    // A wait of the client (a connect, the final reply, a stalled send) can
    // take a minute; Close must not wait it out.
    ftp::FtpService::Options options = run.m_ftpOptions;
    options.idle = [window = options.idle, &stop = state.stop] {
        return (!window || window()) && !stop;
    };
    return options;
}

bool UploadRun::Impl::saveUnsent()
{
    // Sent items leave the file as a finished run leaves the list; the ones
    // passed over stay for a later run.
    QStringList paths;
    for (int row = 0; row < list.count(); ++row) {
        if (!list.at(row).done)
            paths.append(list.at(row).path);
    }
    const qint64 start = blockClock.nsecsElapsed();
    const bool saved = ListFile::write(run.m_files.listFile, paths);
    if (saved)
        sentSinceSave.clear();
    const qint64 now = blockClock.nsecsElapsed();
    if (run.listSaveIntervalMs > 0)
        nextListSaveNs =
            now + std::max(qint64(run.listSaveIntervalMs) * 1'000'000, 50 * (now - start));
    return saved;
}

void UploadRun::Impl::warnListNotSaved()
{
    view.showMessage(u"Не удалось сохранить список файлов."_s, u"Внимание"_s,
                     UploadView::Icon::Warning);
}

bool UploadRun::Impl::logIn()
{
    // Reasons go to the transfer log; Close pressed while no block flows
    // means the program is quitting, and stops the attempts.
    struct Watcher : LoginWatcher
    {
        Impl &impl;
        explicit Watcher(Impl &owner) : impl(owner) {}
        Answer askContinue(const QString &message, Countdown countdown) override
        {
            return impl.view.askContinue(message, countdown);
        }
        void loginReasonChanged(const QString &reason) override
        {
            if (!reason.isEmpty())
                impl.view.addLogLine(reason);
        }
        void processEvents() override { impl.view.processEvents(); }
        bool stopRequested() const override { return impl.state.stop; }
        void pause(int ms) override { impl.pause(ms); }
    } watcher(*this);
    const int authLine = view.addLogLine(u"Авторизация на сервере..."_s);
    const LoginPacing pacing{run.loginRetryPauseMs, run.loginWindowMs, TextLoginTimeout};
    if (logInWithRetries(*service, run.m_connection, pacing, watcher, connection) !=
        LoginEnd::LoggedIn)
        return false;
    if (run.m_names)
        run.m_names->learn(run.m_connection.server, connection->hasFeature("UTF8"));
    view.appendToLogLine(authLine, OkSuffix);
    return true;
}

std::string UploadRun::Impl::wire(const QString &remotePath) const
{
    return run.m_names ? run.m_names->toServer(run.m_connection.server, remotePath)
                       : remotePath.toStdString();
}

/// Puts the empty Temp.dat to the remote path, creating or emptying it.
/// False: *why says what the server refused (the put, not the removal tried
/// after it).
bool UploadRun::Impl::createRemote(const QString &remotePath, ftp::Failure *why)
{
    *why = {};
    if (!createEmptyFile(run.m_files.tempFile))
        return false;
    const std::string remote = wire(remotePath);
    if (connection->putFile(run.m_files.tempFile.toStdString(), remote))
        return true;
    *why = connection->lastFailure();
    // Some servers refuse to overwrite a file but let it be removed first;
    // no other refusal costs the user the file the server holds.
    if (!connection->isOpen() || lastRefusal() != Refusal::Final ||
        !connection->command("DELE " + remote))
        return false;
    const bool put = connection->putFile(run.m_files.tempFile.toStdString(), remote);
    *why = connection->lastFailure();
    if (!put)
        view.addLogLine(
            u"Файл на сервере удалён, а новый создать не удалось: %1"_s.arg(remotePath));
    return put;
}

/// createRemote failed: a lost connection or a passing refusal is asked
/// about like any other, no room is said so; a refusal is shown in the error
/// box and ends the run.
FileResult UploadRun::Impl::createFailed(const QString &remotePath, const ftp::Failure &why)
{
    // Temp.dat itself could not be made: no failure of the server's.
    const Refusal refusal = !connection->isOpen()                ? Refusal::Lost
                            : why.kind == ftp::FailureKind::None ? Refusal::Final
                                                                 : lastRefusal();
    if (refusal == Refusal::Lost || refusal == Refusal::Passing)
        return connectionLost();
    if (refusal == Refusal::Storage)
        return refusedToStore(remotePath);
    logReason(why);
    view.showMessage(u"Ошибка при создании файла %1.\r\nПроверьте имя файла."_s.arg(remotePath),
                     TextError, UploadView::Icon::Error);
    return FileResult::Stop;
}

/// A file just created must be empty on the server. One that is not was kept
/// by the server (pure-ftpd's --autorename puts the empty file beside it):
/// appending would write the new file's tail after the old file's head.
/// Nullopt: the file is empty, or the server cannot say.
std::optional<FileResult> UploadRun::Impl::checkCreatedEmpty(quint64 id, const QString &remotePath)
{
    const std::optional<int64_t> size = connection->remoteSize(wire(remotePath));
    if (state.stop)
        return FileResult::Stop;
    if (!connection->isOpen())
        return connectionLost();
    if (!size || *size == 0)
        return std::nullopt;
    view.addLogLine(u"Сервер сохранил прежний файл %1 (%2 байт) вместо нового пустого; файл не "
                    u"передан, чтобы не дописать его к старому"_s.arg(remotePath)
                        .arg(*size));
    QFile::remove(run.m_files.markerFile);
    state.resume = false;
    return passOver(id, TextError);
}

/// Makes room for a file sent from its start, and puts the prepared marker
/// in place before the server can hold any of the file. A file the server
/// does not have is left to APPE to create; one it has, or may have, gets
/// the empty Temp.dat put over it. Either way the file is then filled by
/// APPE, so a transfer cut off leaves on the server what reached it, where
/// servers set to do so delete a cut STOR. Nullopt: the remote file is empty
/// or absent.
std::optional<FileResult> UploadRun::Impl::clearRemote(quint64 id, const QString &remotePath,
                                                       AtomicFile::Pending &marker)
{
    const std::string remote = wire(remotePath);
    if (pipelining && askedAhead != remotePath)
        connection->askAhead({remote}, true);
    askedAhead.clear();
    const std::optional<int64_t> held = connection->remoteSize(remote);
    if (state.stop)
        return FileResult::Stop;
    if (!connection->isOpen())
        return connectionLost();
    if (!held && connection->lastSizeSource() != ftp::SizeSource::None)
        return marker.commit() ? std::nullopt : std::optional(passOver(id, TextError));
    // An old file is emptied before the marker is in place: a crash after
    // it continues the file from what the server holds. A server that keeps
    // the old file and stores the new one elsewhere is caught by the check.
    if (ftp::Failure why; !createRemote(remotePath, &why))
        return createFailed(remotePath, why);
    if (!marker.commit())
        return passOver(id, TextError);
    if (pipelining)
        connection->askAhead({remote}, true);
    return checkCreatedEmpty(id, remotePath);
}

/// Whether the file is the one the marker names, cut off earlier and to be
/// continued: the marker names it exactly, and neither the file nor the
/// destination folder changed since. A changed one is started afresh (its
/// new content appended to the old head would pass the size check).
bool UploadRun::Impl::continuesMarked(const QString &localPath)
{
    if (!state.resume)
        return false;
    const std::optional<ResumeMarker::Marker> marker = ResumeMarker::load(run.m_files.markerFile);
    if (!marker || marker->localPath != localPath)
        return false;
    if (!ResumeMarker::fileUnchanged(*marker)) {
        view.addLogLine(u"Файл изменился после обрыва, передаётся заново: %1"_s.arg(localPath));
        return false;
    }
    if (marker->destFolder != view.destFolder()) {
        view.addLogLine(
            u"Папка на сервере изменилась после обрыва, файл передаётся заново: %1"_s.arg(
                localPath));
        return false;
    }
    return true;
}

/// The remote size of a file being continued, once two answers a moment apart
/// agree. After a cut or a kill the server may still be writing what reached
/// it over the old connection (its receive buffer, megabytes at times); APPE
/// appends at the server's end, so continuing from an earlier answer would put
/// those bytes in twice and shift the rest of the file, with the final size
/// still coming out right.
std::optional<int64_t> UploadRun::Impl::settledRemoteSize(const QString &remotePath)
{
    const std::string remote = wire(remotePath);
    std::optional<int64_t> size = connection->remoteSize(remote);
    for (int changes = 0; size && changes < MaxSizeChanges && connection->isOpen() && !state.stop;
         ++changes) {
        pause(SizeSettleMs);
        const std::optional<int64_t> again = connection->remoteSize(remote);
        if (again == size)
            break;
        size = again;
    }
    return size;
}

/// Whether the server's last reply refused a command outright, rather than
/// the data connection failing (425, 426) or no answer coming.
bool UploadRun::Impl::refusedByServer() const
{
    const int code = connection->lastReplyCode();
    return code >= 450 && code <= 599;
}

Refusal UploadRun::Impl::lastRefusal() const
{
    // Data connections refused both ways refuse no command of ours.
    if (connection->lastFailure().kind == ftp::FailureKind::DataRefused)
        return Refusal::Final;
    if (!refusedByServer())
        return Refusal::Lost;
    return refusalOf(connection->lastReplyCode(), connection->lastReplyText());
}

/// Opens the transfer that continues the remote file at *offset. APPE first;
/// a server that will not append (proftpd's default, or one that does not
/// know the command) gets REST and STOR at the offset, and when it refuses
/// that too, the whole file again from its start (*offset then 0), the loss
/// of the part it held named in the log. Any other refusal keeps what the
/// server holds: null, with openRefusal saying why.
std::unique_ptr<ftp::FtpTransfer> UploadRun::Impl::openAppend(const QString &remotePath,
                                                              qint64 *offset)
{
    const std::string remote = wire(remotePath);
    openRefusal = Refusal::None;
    const auto refused = [this] {
        openRefusal = connection->isOpen() ? lastRefusal() : Refusal::Lost;
        return openRefusal;
    };
    // A file started afresh on a server known to refuse APPE goes by STOR
    // at once.
    if (!(appeRefused && *offset == 0)) {
        auto t = connection->openTransfer("APPE " + remote, ftp::Direction::Upload);
        if (t)
            return t;
        const Refusal why = refused();
        // Only an empty or absent file may try STOR after another refusal,
        // and not when data connections are what was refused.
        const bool noData = connection->lastFailure().kind == ftp::FailureKind::DataRefused;
        if (why != Refusal::NoAppend && !(why == Refusal::Final && *offset == 0 && !noData))
            return nullptr;
        appeRefused = true;
    }
    std::unique_ptr<ftp::FtpTransfer> t;
    if (*offset > 0 && connection->hasFeature("REST STREAM")) {
        // A server that will not append may refuse restarting in its own
        // words (proftpd: overwriting not allowed); only no room or a
        // passing condition keeps the part it holds.
        t = connection->openTransfer("STOR " + remote, ftp::Direction::Upload, *offset);
        if (t || (refused() != Refusal::NoAppend && openRefusal != Refusal::Final))
            return t;
    }
    if (*offset > 0)
        view.addLogLine(u"Сервер не даёт дописать файл, передаётся заново: %1"_s.arg(remotePath));
    const bool held = *offset > 0;
    *offset = 0;
    t = connection->openTransfer("STOR " + remote, ftp::Direction::Upload);
    if (t || refused() != Refusal::Final)
        return t;
    // Some servers refuse STOR over a file they hold but let it be removed
    // first; the new file is sent at once.
    if (!connection->command("DELE " + remote)) {
        refused();
        return nullptr;
    }
    if (held)
        view.addLogLine(u"Файл на сервере удалён, чтобы передать его заново: %1"_s.arg(remotePath));
    t = connection->openTransfer("STOR " + remote, ftp::Direction::Upload);
    if (!t)
        refused();
    return t;
}

/// Refreshes the bar and the percentages, and with `figures` the byte counts
/// and the time left too (those on show stay otherwise).
void UploadRun::Impl::showProgress(int row, qint64 offset, qint64 fileSize, bool figures)
{
    UploadView::Progress p;
    p.percent = percentOf(sent, state.uploadTotal);
    p.sent = sent;
    p.left = state.uploadTotal - sent;
    // The speed is what this pass sent in its time: a continued file's offset
    // also holds bytes an earlier run sent, which would make the link look
    // fast and the time left short.
    double left = 0.00001;
    const double elapsedDays = double(clockNs() - passStartNs) / 86400e9;
    if (elapsedDays != 0) {
        double speed = double(passSent) / elapsedDays;
        if (speed == 0)
            speed = 0.0000001;
        left = double(fileSize - offset) / speed;
    }
    p.timeLeft = formatTimeOfDay(left);
    p.filesLeft = pendingCount();
    if (figures) {
        shownFigures = p;
    } else {
        p.sent = shownFigures.sent;
        p.left = shownFigures.left;
        p.timeLeft = shownFigures.timeLeft;
    }
    view.showProgress(p);
    if (row >= 0)
        list.setStatus(row, u"%1%"_s.arg(percentOf(offset, fileSize)));
}

/// Refreshes the display and lets the window run when their time has come
/// (`now` on the block clock); the display always after a file's last block.
void UploadRun::Impl::refreshAndService(quint64 id, qint64 offset, qint64 fileSize, bool fileDone,
                                        qint64 now)
{
    if (fileDone || now >= nextRefreshNs) {
        const bool figures = fileDone || now >= nextFiguresNs;
        showProgress(list.rowOf(id), offset, fileSize, figures);
        nextRefreshNs = now + qint64(run.progressRefreshMs) * 1'000'000;
        if (figures)
            nextFiguresNs = now + qint64(run.figuresRefreshMs) * 1'000'000;
    }
    // Not after every file: a window painted once per file costs more than a
    // small file's transfer.
    if (now >= nextServiceNs) {
        view.processEvents();
        nextServiceNs = blockClock.nsecsElapsed() + qint64(run.serviceIntervalMs) * 1'000'000;
    }
}

/// The connection broke in the middle of a file: Continue starts a new pass
/// that continues it from the server's size.
FileResult UploadRun::Impl::connectionLost()
{
    if (connection)
        logReason(connection->lastFailure());
    if (connection && connection->aheadStalled() && pipelining) {
        pipelining = false;
        view.addLogLine(
            u"Сервер не ответил на команды, посланные подряд; дальше они идут по одной"_s);
    }
    askedAhead.clear();
    closeHandles();
    if (state.stop)
        return FileResult::Stop;
    return ask(TextConnectionLost) == ContinuePrompt::Continue && !state.stop
               ? FileResult::ConnectionLost
               : FileResult::Stop;
}

/// The server has no room for the file (a full disk, a quota): no lost
/// connection to wait out. The run ends with the server's reply; the file,
/// its marker and what the server holds of it stay for a later run.
FileResult UploadRun::Impl::refusedToStore(const QString &remotePath)
{
    logReason(connection->lastFailure());
    const QString reply = QString::fromStdString(connection->lastReplyText());
    closeHandles();
    view.showMessage(
        u"Сервер отказался сохранить файл %1:\r\n%2"_s.arg(remotePath, reply.trimmed()), TextError,
        UploadView::Icon::Error);
    return FileResult::Stop;
}

/// The data connection failed in the middle of a file. The server may say
/// why on the control connection (a full disk, a quota), so its reply is
/// awaited a moment before the failure counts as a lost connection.
FileResult UploadRun::Impl::dataBroken(quint64 id, const QString &remotePath, qint64 fileSize)
{
    const int code = transfer->verdictAfterFailure(
        std::min(DataVerdictMs, run.m_ftpOptions.timeouts.finalReplyMs));
    transfer.reset();
    if (state.stop)
        return FileResult::Stop;
    if (code != 0 && connection->isOpen()) {
        const Refusal why = lastRefusal();
        if (why == Refusal::Storage)
            return refusedToStore(remotePath);
        if (why == Refusal::Final)
            return verdictRefused(id, remotePath, failureText(connection->lastFailure()), fileSize,
                                  false);
    }
    return connectionLost();
}

FileResult UploadRun::Impl::passOver(quint64 id, const QString &status)
{
    const int row = list.rowOf(id);
    if (!passedOver.contains(id) && row >= 0 && !list.at(row).done && pendingKnown > 0)
        --pendingKnown;
    passedOver.insert(id);
    if (row >= 0)
        list.setStatus(row, status);
    return FileResult::PassedOver;
}

QString UploadRun::Impl::remotePathOf(quint64 id) const
{
    const int row = list.rowOf(id);
    if (row < 0 || list.at(row).done || passedOver.contains(id))
        return {};
    return view.destFolder() + u'/' + QFileInfo(list.at(row).path).fileName();
}

FileResult UploadRun::Impl::sendFile(quint64 id)
{
    const int row = list.rowOf(id);
    const QString localPath = list.at(row).path;
    view.focusRow(row);
    const QString remotePath = remotePathOf(id);
    if (const auto claim = remoteClaims.constFind(remotePath);
        claim != remoteClaims.cend() && *claim != localPath) {
        view.addLogLine(
            u"Файл %1 не передан: на сервере он попал бы в тот же файл %2, что и %3"_s.arg(
                localPath, remotePath, *claim));
        return passOver(id, TextNameTaken);
    }

    // A server that names files in Windows-1251 cannot hold a name with a
    // character the code page lacks: sent in UTF-8, the file would arrive
    // under a name nobody chose.
    const QString fileName = QFileInfo(localPath).fileName();
    if (run.m_names && run.m_names->usesWindows1251(run.m_connection.server) &&
        !windows1251::fromUtf8(fileName.toStdString())) {
        view.addLogLine(u"Имя файла нельзя записать в кодировке сервера (Windows-1251), файл не "
                        u"передан: %1"_s.arg(localPath));
        return passOver(id, TextError);
    }

    LocalFile local;
    QString failure;
    if (!local.open(localPath, &failure))
        return passOver(id, failure);
    remoteClaims.insert(remotePath, localPath);
    fileHash.reset();
    if (!hashRefused) {
        const std::optional<ftp::HashAlgorithm> algorithm = connection->hashAlgorithm();
        if (!connection->isOpen())
            return connectionLost();
        if (algorithm)
            fileHash = std::make_unique<ftp::Hasher>(*algorithm);
    }
    qint64 offset = 0;
    if (const auto ended = prepareRemote(id, localPath, remotePath, local, &offset))
        return *ended;
    if (!local.seek(offset))
        return passOver(id, TextError);
    return sendBlocks(id, local, remotePath, offset);
}

/// Creates the remote file, or finds how much of it the server holds, and
/// opens the transfer that continues it from *offset. Nullopt when blocks
/// may flow; otherwise what the file came to.
std::optional<FileResult> UploadRun::Impl::prepareRemote(quint64 id, const QString &localPath,
                                                         const QString &remotePath,
                                                         LocalFile &local, qint64 *offset)
{
    const qint64 fileSize = local.stamp().size;
    const bool continuing = !forceFresh.contains(id) && continuesMarked(localPath);
    bool created = false;
    if (!continuing) {
        // The marker is written before the server's file is touched: a data
        // folder that cannot take it must not cost the user the remote file.
        // It is not synced: one lost with the machine's power costs a file
        // sent again, never one counted as sent (it names only files the
        // server confirmed), and a sync per file would cost more than a
        // small file's transfer.
        AtomicFile::Pending marker;
        if (!marker.prepare(run.m_files.markerFile,
                            ResumeMarker::textFor(localPath, view.destFolder(), sentSinceSave),
                            false)) {
            const QString text =
                u"Не удалось записать файл %1, закачка остановлена. Файлы на сервере не тронуты."_s
                    .arg(QDir::toNativeSeparators(run.m_files.markerFile));
            view.addLogLine(text);
            view.showMessage(text, TextError, UploadView::Icon::Error);
            return FileResult::Stop;
        }
        if (const auto ended = clearRemote(id, remotePath, marker))
            return *ended;
        state.resume = true;
        forceFresh.remove(id);
        created = true;
    }

    // Continue from what the server holds, but never append onto content that
    // cannot be ours.
    *offset = 0;
    const std::optional<int64_t> remoteSize =
        created ? std::optional<int64_t>(0) : settledRemoteSize(remotePath);
    if (state.stop)
        return FileResult::Stop;
    if (!connection->isOpen())
        return connectionLost();
    if (remoteSize && *remoteSize <= fileSize) {
        *offset = *remoteSize;
    } else if (!created) {
        if (remoteSize)
            view.addLogLine(
                u"Файл на сервере больше локального, передаётся заново: %1"_s.arg(remotePath));
        if (ftp::Failure why; !createRemote(remotePath, &why))
            return createFailed(remotePath, why);
        if (const auto ended = checkCreatedEmpty(id, remotePath))
            return *ended;
    }
    // The digest covers the whole file, so the part the server holds is read
    // for it now, before a data connection is open to wait on it.
    if (fileHash && *offset > 0 && !digestHeldPart(local, *offset))
        return state.stop ? FileResult::Stop : startAfresh(id);
    transfer = openAppend(remotePath, offset);
    if (fileHash && *offset == 0)
        fileHash->reset(); // the file goes again from its start
    if (!transfer) {
        // A passing refusal is asked about as a lost connection is: a later
        // pass continues the file, and the server keeps what it holds.
        if (openRefusal == Refusal::Lost || openRefusal == Refusal::Passing)
            return connectionLost();
        if (openRefusal == Refusal::Storage)
            return refusedToStore(remotePath);
        // A file the server would not create by either command: the server
        // holds none of it, so there is nothing to continue.
        if (created) {
            QFile::remove(run.m_files.markerFile);
            state.resume = false;
            return createFailed(remotePath, connection->lastFailure());
        }
        logReason(connection->lastFailure());
        view.showMessage(u"Ошибка при попытке дописать файл."_s, TextError,
                         UploadView::Icon::Error);
        return FileResult::Stop;
    }
    if (remoteSize && firstQuery) {
        firstQuery = false;
        sent = *offset;
    }
    return std::nullopt;
}

/// Digests the local file's first `offset` bytes, letting the window run and
/// keeping the control connection from idling out on a long read. False: the
/// file could not be read that far, or Close was pressed.
bool UploadRun::Impl::digestHeldPart(LocalFile &local, qint64 offset)
{
    constexpr qint64 KeepAliveNs = 60'000'000'000;
    if (!local.seek(0))
        return false;
    std::vector<char> buffer(DigestReadBytes);
    qint64 nextKeepAliveNs = blockClock.nsecsElapsed() + KeepAliveNs;
    for (qint64 done = 0; done < offset;) {
        const qint64 want = std::min<qint64>(qint64(buffer.size()), offset - done);
        if (local.readFully(buffer.data(), want) != want)
            return false;
        fileHash->update(buffer.data(), size_t(want));
        done += want;
        const qint64 now = blockClock.nsecsElapsed();
        if (now >= nextServiceNs) {
            view.processEvents();
            nextServiceNs = now + qint64(run.serviceIntervalMs) * 1'000'000;
            if (state.stop)
                return false;
        }
        if (now >= nextKeepAliveNs) {
            connection->command("NOOP");
            nextKeepAliveNs = now + KeepAliveNs;
        }
    }
    return true;
}

/// Sends the local file from offset to its end over the open transfer.
FileResult UploadRun::Impl::sendBlocks(quint64 id, LocalFile &local, const QString &remotePath,
                                       qint64 offset)
{
    // The file is read ahead straight into the transfer's send buffer,
    // refilled at block boundaries so a block never straddles two reads, and
    // handed over block by block. Only the last block of a read-ahead sends,
    // and only a send may wait or let the window run; before the others
    // nothing can have changed, so the clock, the display and the window are
    // looked at once per read-ahead (every block when a test asks for a
    // refresh on every block).
    const qint64 fileSize = local.stamp().size;
    const qint64 startOffset = offset;
    const bool everyBlock = run.progressRefreshMs <= 0 || run.serviceIntervalMs <= 0;
    qint64 aheadPos = 0;
    qint64 aheadLen = 0;
    for (;;) {
        const qint64 len = std::min<qint64>(BlockSize, fileSize - offset);
        if (len > 0) {
            if (aheadPos == aheadLen) {
                const qint64 want = std::min<qint64>(ReadAhead, fileSize - offset);
                char *room = transfer->reserve(int(want));
                if (!room)
                    return dataBroken(id, remotePath, fileSize);
                if (local.readFully(room, want) != want)
                    return startAfresh(id);
                if (fileHash)
                    fileHash->update(room, size_t(want));
                aheadPos = 0;
                aheadLen = want;
            }
            if (transfer->commit(int(len)) != int(len))
                return dataBroken(id, remotePath, fileSize);
            aheadPos += len;
        }
        offset += len;
        sent += len;
        passSent += len;
        const bool fileDone = offset >= fileSize;
        if (!fileDone && aheadPos != aheadLen && !everyBlock)
            continue;
        refreshAndService(id, offset, fileSize, fileDone, blockClock.nsecsElapsed());
        if (fileDone)
            return finishFile(id, local, remotePath, fileSize, startOffset);
        if (state.stop) {
            transfer->finish();
            return FileResult::Stop;
        }
        // A row deleted while it is being sent ends after this block, and
        // its marker goes with it: there is nothing left to continue.
        if (list.rowOf(id) < 0) {
            transfer->finish();
            transfer.reset();
            QFile::remove(run.m_files.markerFile);
            state.resume = false;
            withdrawn = true;
            return FileResult::PassedOver;
        }
    }
}

/// The local file changed while it was sent: what the server got is not that
/// file, so it is sent again from its start.
FileResult UploadRun::Impl::startAfresh(quint64 id)
{
    if (transfer)
        transfer->finish();
    transfer.reset();
    if (++freshStarts[id] > MaxFreshStarts)
        return passOver(id, TextError);
    forceFresh.insert(id);
    return FileResult::FreshStart;
}

/// A file counts as sent only when the server confirmed the transfer and holds
/// exactly the local file's size.
FileResult UploadRun::Impl::finishFile(quint64 id, LocalFile &local, const QString &remotePath,
                                       qint64 fileSize, qint64 startOffset)
{
    const bool confirmed = transfer->finish();
    transfer.reset();
    if (local.changed())
        return startAfresh(id);
    // A refusal is the server's verdict on the file, not a lost connection:
    // asking to reconnect would go round for ever.
    if (!confirmed && connection->isOpen() && refusedByServer()) {
        if (lastRefusal() == Refusal::Storage)
            return refusedToStore(remotePath);
        return verdictRefused(id, remotePath, failureText(connection->lastFailure()), fileSize,
                              false);
    }
    if (!confirmed)
        return connectionLost();
    // The size query goes with those of the next file, when no digest is
    // asked for in between.
    if (pipelining && !fileHash) {
        std::vector<std::string> sizes{wire(remotePath)};
        if (!nextRemote.isEmpty())
            sizes.push_back(wire(nextRemote));
        connection->askAhead(sizes, !nextRemote.isEmpty());
        askedAhead = nextRemote;
    }
    const std::optional<int64_t> size = connection->remoteSize(wire(remotePath));
    if (!connection->isOpen())
        return connectionLost();
    // A server that can tell the size by no means has only its confirmation
    // to go by; the log says so.
    if (!size && connection->lastSizeSource() != ftp::SizeSource::None)
        return verdictRefused(id, remotePath,
                              u"Файла нет на сервере после передачи: %1"_s.arg(remotePath),
                              fileSize, true);
    if (!size)
        view.addLogLine(
            u"Сервер не сообщает размер файла, файл проверен только по ответу сервера: %1"_s.arg(
                remotePath));
    // A data connection closed on the way reads to the server as the file's
    // end: it confirms a short file. That is a cut, continued from the
    // server's size; only a size that did not grow is the server's verdict.
    if (size && *size<fileSize && * size> startOffset)
        return connectionLost();
    if (size && *size != fileSize)
        return verdictRefused(
            id, remotePath,
            u"Размер файла на сервере (%1 байт) не совпадает с локальным (%2 байт): %3"_s.arg(*size)
                .arg(fileSize)
                .arg(remotePath),
            fileSize, true);
    if (fileHash) {
        if (const auto differs = checkDigest(id, remotePath, fileSize))
            return *differs;
    }
    QFile::remove(run.m_files.markerFile);
    state.resume = false;
    ++filesSent;
    const int row = list.rowOf(id);
    if (row >= 0 && !list.at(row).done && pendingKnown > 0)
        --pendingKnown;
    if (row >= 0)
        list.setDone(row, true);
    // Between two files there is no marker: a restart after a crash there
    // sends again whatever Files.txt still holds. Inside the next file the
    // marker names what was sent since Files.txt was written; a long list
    // of them is written to Files.txt instead, so the marker stays small.
    if (row >= 0)
        sentSinceSave.append(list.at(row).path);
    if (blockClock.nsecsElapsed() >= nextListSaveNs || sentSinceSave.size() >= MaxSentInMarker)
        saveUnsent();
    return FileResult::Sent;
}

/// The server refused the file's final reply, or holds another size: the
/// first time the file goes again, continued from what the server holds or
/// (`afresh`) from its start, the second it is given up for this run with the
/// reason in the log.
FileResult UploadRun::Impl::verdictRefused(quint64 id, const QString &remotePath,
                                           const QString &reason, qint64 fileSize, bool afresh)
{
    if (!reason.isEmpty())
        view.addLogLine(reason);
    // The bytes go again, or not at all; the display counts them once.
    sent = std::max<qint64>(0, sent - fileSize);
    if (++refusedVerdicts[id] >= MaxRefusedVerdicts) {
        view.addLogLine(u"Файл не передан после двух попыток: %1"_s.arg(remotePath));
        // What the server holds is not this file: a later run creates it afresh.
        QFile::remove(run.m_files.markerFile);
        state.resume = false;
        return passOver(id, TextError);
    }
    if (afresh)
        forceFresh.insert(id);
    return FileResult::FreshStart;
}

/// Compares the server's digest of the file it now holds with the one made
/// while the file was read. Nullopt: the file counts as sent (they agree, or
/// the server could not say, which is no error: the size has been checked).
/// The first difference sends the file again from its start; a second gives
/// it up for this run.
std::optional<FileResult> UploadRun::Impl::checkDigest(quint64 id, const QString &remotePath,
                                                       qint64 fileSize)
{
    const QString name = QString::fromLatin1(ftp::hashAlgorithmName(fileHash->algorithm()));
    const std::string local = fileHash->hexDigest();
    fileHash.reset();
    if (local.empty())
        return std::nullopt;
    const int line = view.addLogLine(u"Проверка файла %1..."_s.arg(remotePath));
    const std::optional<std::string> remote = connection->remoteHash(wire(remotePath), fileSize);
    // Close while the server digests: the marker stays, and the next run
    // finds the file whole and asks again.
    if (!remote && state.stop)
        return FileResult::Stop;
    if (!remote) {
        hashRefused = true;
        logReason(connection->lastFailure());
        return std::nullopt;
    }
    if (*remote == local) {
        view.appendToLogLine(line, u" ОК (%1 совпадает)"_s.arg(name));
        return std::nullopt;
    }
    if (!hashResent.contains(id)) {
        hashResent.insert(id);
        view.addLogLine(u"%1 файла на сервере не совпадает, файл передаётся заново: %2"_s.arg(
            name, remotePath));
        forceFresh.insert(id);
        // The bytes go again; the display counts them once.
        sent = std::max<qint64>(0, sent - fileSize);
        // proftpd keeps the digests it made by path, size and modification
        // time to the second: a copy sent again within the same second would
        // get the old one.
        pause(1000);
        return FileResult::FreshStart;
    }
    view.addLogLine(u"%1 не совпадает: на сервере %2, у локального файла %3"_s.arg(
        name, QString::fromStdString(*remote), QString::fromStdString(local)));
    // What the server holds is not this file: a later run creates it afresh.
    QFile::remove(run.m_files.markerFile);
    state.resume = false;
    return passOver(id, TextError);
}

int UploadRun::Impl::pendingCount()
{
    if (pendingKnown >= 0)
        return pendingKnown;
    int pending = 0;
    for (int row = 0; row < list.count(); ++row) {
        const auto &item = list.at(row);
        if (!item.done && !passedOver.contains(item.id))
            ++pending;
    }
    pendingKnown = pending;
    return pending;
}

/// Passes follow one another until every item is handled or the run ends.
End UploadRun::Impl::passes()
{
    for (;;) {
        if (state.stop)
            return End::Interrupted;
        view.addLogLine(u"====="_s);
        const int connLine = view.addLogLine(u"Соединение..."_s);
        closeHandles();
        service = ftp::FtpService::open(serviceOptions());
        if (!service) {
            if (ask(TextNoService) == ContinuePrompt::Continue)
                continue;
            return End::NoService;
        }
        view.appendToLogLine(connLine, OkSuffix);
        if (!logIn())
            return End::Interrupted;
        hashRefused = false;
        appeRefused = false;
        askedAhead.clear();
        view.addLogLine(u"Передача данных..."_s);
        passStartNs = clockNs();
        passSent = 0;
        firstQuery = true;

        const Sweep swept = sweep();
        if (swept == Sweep::Stop)
            return End::Interrupted;
        if (swept == Sweep::Swept && !anyPending()) {
            if (!passedOver.isEmpty())
                return End::Incomplete;
            // Nothing was sent but the file the user took off the list: the
            // upload was cut short, not completed.
            return withdrawn && filesSent == 0 ? End::Withdrawn : End::Completed;
        }
    }
}

/// Sends every pending item of the list as it stands now; items appended
/// during the sweep wait for the next pass.
Sweep UploadRun::Impl::sweep()
{
    QList<quint64> ids;
    for (int row = 0; row < list.count(); ++row)
        ids.append(list.at(row).id);
    // The file that was cut off goes first, so that it is continued: any
    // other file sent before it would take the marker over.
    if (state.resume) {
        const QString marked = ResumeMarker::markedPath(run.m_files.markerFile);
        for (int row = 0; row < list.count(); ++row) {
            if (list.at(row).path == marked && !list.at(row).done) {
                ids.move(row, 0);
                break;
            }
        }
    }
    for (qsizetype i = 0; i < ids.size(); ++i) {
        const quint64 id = ids[i];
        for (;;) {
            const int row = list.rowOf(id);
            if (row < 0 || list.at(row).done || passedOver.contains(id))
                break;
            if (state.stop)
                return Sweep::Stop;
            nextRemote = i + 1 < ids.size() ? remotePathOf(ids[i + 1]) : QString();
            const FileResult result = sendFile(id);
            if (result == FileResult::FreshStart)
                continue;
            if (result == FileResult::Stop)
                return Sweep::Stop;
            if (result == FileResult::ConnectionLost)
                return Sweep::NewPass;
            break;
        }
        if (state.stop)
            return Sweep::Stop;
    }
    return Sweep::Swept;
}

UploadRun::UploadRun(UploadView &view, UploadList &list, UploadState &state,
                     const ConnectionParams &connection, const UploadFiles &files,
                     ftp::FtpService::Options ftpOptions, RemoteNames *names)
    : m_view(view), m_list(list), m_state(state), m_connection(connection), m_files(files),
      m_ftpOptions(std::move(ftpOptions)), m_names(names)
{
}

UploadRun::Outcome UploadRun::exec()
{
    if (m_state.busy)
        return Outcome::NotStarted;
    // The folder is stored first; a refused write stops the run before anything else.
    ProfileFile settings(m_files.settingsFile);
    if (!settings.writeString(OptionsSection, u"DestFolder"_s, m_view.destFolder())) {
        m_view.showMessage(
            u"Unable to write to %1"_s.arg(QDir::toNativeSeparators(m_files.settingsFile)),
            TextError, UploadView::Icon::Error);
        return Outcome::NotStarted;
    }

    Impl impl(*this);
    m_state.uploadTotal = 0;
    QHash<QString, QString> names; // file name -> the first pending path that has it
    for (int row = 0; row < m_list.count(); ++row) {
        const auto &item = m_list.at(row);
        if (item.done)
            continue;
        struct stat st
        {
        };
        const QByteArray name = QFile::encodeName(item.path);
        if (::stat(name.constData(), &st) != 0) {
            impl.passOver(item.id, TextNotFound);
        } else if (!S_ISREG(st.st_mode) || ::access(name.constData(), R_OK) != 0) {
            impl.passOver(item.id, TextError);
        } else if (const auto first = names.constFind(QFileInfo(item.path).fileName());
                   first != names.cend()) {
            // Two files of one name would go to one remote file: the second
            // stays in the list (the list refuses such pairs; an older
            // Files.txt may hold them).
            m_view.addLogLine(
                u"Файл %1 не передан: на сервере он попал бы в тот же файл, что и %2"_s.arg(
                    item.path, *first));
            impl.passOver(item.id, TextNameTaken);
        } else {
            names.insert(QFileInfo(item.path).fileName(), item.path);
            m_state.uploadTotal += qint64(st.st_size);
        }
    }
    m_view.setBusy(true);
    impl.blockClock.start();
    // Every file of the run is on disk before the first is sent (those given
    // on the command line were not yet), so a crash loses none of them.
    if (!impl.saveUnsent())
        impl.warnListNotSaved();

    const End end = impl.passes();
    const QString message = resultText(end);
    m_view.addLogLine(message);
    impl.closeHandles();
    m_view.setBusy(false);
    int unsent = 0;
    for (int row = 0; row < m_list.count(); ++row)
        unsent += m_list.at(row).done ? 0 : 1;
    m_view.runEnded(message, impl.filesSent, impl.filesSent + unsent);
    m_view.showMessage(message, u"Сообщение"_s, UploadView::Icon::Information);
    if (end == End::Completed || end == End::Incomplete || end == End::Withdrawn) {
        // Only what was sent leaves the list; files passed over stay for a later run.
        QList<int> sentRows;
        for (int row = 0; row < m_list.count(); ++row)
            if (m_list.at(row).done)
                sentRows.append(row);
        m_list.removeRowsAt(sentRows);
        if (!impl.saveUnsent())
            impl.warnListNotSaved();
    }
    if (end != End::Interrupted)
        m_view.commandStateUpdate();
    return outcomeOf(end);
}
