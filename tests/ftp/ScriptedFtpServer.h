// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A tiny in-process FTP server for exact transcripts and malformed replies: a
// thread accepts one control connection on 127.0.0.1 (or ::1) and runs the
// test's script against it. The script sees the client's lines and answers
// with raw bytes of its choice.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// The server side of one control connection, as a script sees it.
class ScriptedPeer
{
public:
    /// Sends raw bytes on the control connection.
    void send(const std::string &raw);
    /// The next line from the client without CR LF; empty at end of stream
    /// or after `timeoutMs`. Every line is added to the transcript.
    std::string readLine(int timeoutMs = 5000);
    /// Reads a line and answers it with `reply` (CR LF added).
    std::string answer(const std::string &reply, int timeoutMs = 5000);

    /// Opens a listener on the control address for a passive data connection.
    uint16_t listenData();
    /// Accepts on that listener; -1 after `timeoutMs`.
    int acceptData(int timeoutMs = 5000);
    /// Answers EPSV with the port of a new passive listener and accepts the
    /// client's data connection there; -1 when none comes.
    int answerEpsv();
    /// Connects to the client's active-mode port, from `fromAddress` if given
    /// (any 127.x.y.z works on Linux loopback). -1 on failure.
    int connectData(uint16_t port, const char *fromAddress = nullptr);
    /// The port of an "EPRT |1|a|p|" or "PORT h,h,h,h,p,p" line.
    static uint16_t activePort(const std::string &line);

    /// Reads a data connection to its end; returns the bytes.
    static std::string readAll(int fd, int timeoutMs = 5000);
    static void sendAll(int fd, const std::string &bytes);

    /// Closes the control connection (FIN) or resets it (RST).
    void closeControl();
    void resetControl();

    /// Whether the test is tearing the server down; long scripts should stop.
    bool stopping() const;

private:
    friend class ScriptedFtpServer;
    int m_fd = -1;
    int m_dataListener = -1;
    bool m_ipv6 = false;
    std::string m_buffer;
    std::atomic<bool> *m_stop = nullptr;
    std::mutex *m_mutex = nullptr;
    std::vector<std::string> *m_transcript = nullptr;
};

/// One scripted server; the script runs once, on the first connection.
class ScriptedFtpServer
{
public:
    using Script = std::function<void(ScriptedPeer &)>;

    explicit ScriptedFtpServer(Script script, bool ipv6 = false);
    /// Stops the script (its reads return empty) and joins the thread.
    ~ScriptedFtpServer();

    /// "ftp://127.0.0.1:PORT" or "ftp://[::1]:PORT": plain FTP, login first.
    std::string serverField() const;
    uint16_t port() const { return m_port; }
    /// The lines the client sent, in order.
    std::vector<std::string> transcript() const;
    /// Waits for the script to end; false after `timeoutMs`.
    bool waitDone(int timeoutMs = 5000) const;

private:
    int m_listener = -1;
    uint16_t m_port = 0;
    bool m_ipv6 = false;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_transcript;
    std::thread m_thread;
};
