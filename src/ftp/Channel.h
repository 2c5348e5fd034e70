// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/FtpClient.h"
#include "ftp/Socket.h"

#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>

namespace ftp {

/// One connected, non-blocking stream socket with bounded waits. The FTP
/// dialogue reads and writes only through this class; a TLS channel for FTPS
/// would override tryRead/tryWrite (which may then ask to wait for the other
/// direction) and leave every wait and timeout as it is.
class Channel
{
public:
    /// Takes ownership of the connected socket `fd`.
    explicit Channel(int fd);
    virtual ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

    /// Reads what has arrived, waiting for at most `deadline`: >0 count,
    /// 0 end of stream, -1 failure or timeout (error() says which).
    ssize_t readSome(char *buffer, std::size_t len, const Deadline &deadline, const IdleHook &idle);

    /// Writes all `len` bytes. Fails when the peer is gone or when no byte
    /// could be written for `stallMs`.
    bool writeAll(const char *buffer, std::size_t len, int stallMs, const IdleHook &idle);

    /// Gathers what writeAll() is given into sends of `bytes` (an upload's
    /// data connection): one system call per 64 KiB instead of one per 4 KiB
    /// block.
    /// Over TLS a send is made into full 16 KiB records that leave together.
    /// flush() sends the rest.
    void gatherWrites(std::size_t bytes);

    /// Room for the next `len` bytes inside the gathered send, for the caller
    /// to fill in place: a read from the local file lands where the socket
    /// sends from, sparing a copy of every byte. Sends what the gather holds
    /// first when `len` does not fit. Null when that fails, when the channel
    /// does not gather or when `len` is larger than the gather. The room is
    /// valid until commit() has taken all of it or writeAll() is called.
    char *reserve(std::size_t len, int stallMs, const IdleHook &idle);

    /// Takes the next `len` bytes of the room reserve() gave as written,
    /// sending the gather once it is full (waiting as writeAll does).
    bool commit(std::size_t len, int stallMs, const IdleHook &idle);

    /// Sends whatever is held back, waiting as writeAll does.
    bool flush(int stallMs, const IdleHook &idle);

    /// Sends end-of-stream to the peer, keeping the socket for reading.
    virtual void shutdownWrite();

    /// One attempt to send `len` bytes without waiting (a parting QUIT);
    /// whatever does not fit is dropped.
    virtual void sendNow(const char *buffer, std::size_t len);

    /// Closes the socket; later calls fail.
    void close();

    /// Gives up the socket without closing it (to hand it to a TLS channel).
    int release();

    /// Why the last operation failed, "timeout" for a timeout, or "stopped"
    /// when the idle hook said stop.
    const std::string &error() const { return m_error; }
    bool timedOut() const { return m_timedOut; }
    /// The errno that error() is the system's text of; 0 when the reason
    /// came from elsewhere (OpenSSL, a time-out, a peer that just went).
    int errorNumber() const { return m_errno; }

protected:
    /// Results of one non-blocking step besides a byte count.
    static constexpr ssize_t kWantRead = -2;
    static constexpr ssize_t kWantWrite = -3;

    /// One non-blocking read: >0 count, 0 end of stream, kWantRead/kWantWrite
    /// when it must wait, -1 failure with errno set.
    virtual ssize_t tryRead(char *buffer, std::size_t len);
    /// One non-blocking write, through the gather when there is one: >0
    /// count, kWantRead/kWantWrite, -1 failure.
    ssize_t tryWrite(const char *buffer, std::size_t len);
    /// One send without waiting: >0 count, kWantRead/kWantWrite, -1 failure
    /// with errno set.
    virtual ssize_t sendSome(const char *buffer, std::size_t len);
    /// Text for a -1 of tryRead/tryWrite, given the errno it left.
    virtual std::string failureText(int err) const;
    /// Sends what sendSome() took but held back: 0 once none is left,
    /// kWantRead/kWantWrite, -1 failure with errno set. flush() waits for it.
    virtual ssize_t sendHeld() { return 0; }
    /// How many bytes are held back, for flush() to see progress.
    virtual std::size_t held() const { return 0; }
    /// Whether writes go through a gather (gatherWrites), so that every send
    /// ends in a flush.
    bool gathers() const { return m_gatherSize > 0; }

    /// Waits until the socket is ready for what `want` (kWantRead or
    /// kWantWrite) asks; false on timeout or error (error() then says which).
    bool waitFor(ssize_t want, const Deadline &deadline, const IdleHook &idle);
    void setError(const std::string &why) { m_error = why; }
    /// error() for a failed call that left `err`, in the channel's words.
    void setSystemError(int err);

private:
    /// Sends the gathered bytes: 0 once all are out, else kWantWrite or -1.
    ssize_t sendGathered();

    int m_fd = -1;
    std::string m_error;
    int m_errno = 0;
    bool m_timedOut = false;
    std::unique_ptr<char[]> m_gather; // not filled in: only held bytes are read
    std::size_t m_gatherCapacity = 0;
    std::size_t m_gatherSize = 0; // 0: every write goes straight out
    std::size_t m_gatherBegin = 0;
    std::size_t m_gatherEnd = 0;
    std::size_t m_reservedEnd = 0; // end of the room reserve() gave, or 0
};

} // namespace ftp
