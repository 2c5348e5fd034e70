// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A real FTP server on a free loopback port, in a temporary folder of its own,
// for tests of the FTP client and of everything that uploads or lists.
//
// Four kinds:
//   Pyftpd   - tests/support/ftpserver.py on pyftpdlib (Debian python3-pyftpdlib,
//              run with /usr/bin/python3). Logs in `user`/`password`, whose home
//              is the temporary root; can be scripted to misbehave (see
//              FtpServerOptions) and records every command and upload.
//   Vsftpd   - /usr/sbin/vsftpd (Debian vsftpd) in standalone mode with a config
//              file written here: anonymous login only (user "anonymous", no
//              password asked), chrooted to the temporary root, which belongs to
//              root and is read-only for the "ftp" account; "upload" inside it
//              belongs to "ftp" and takes uploads, appends (APPE), REST and
//              overwrites (anon_other_write_enable). Seccomp sandbox and
//              namespace isolation are off so it runs in a container. Commands
//              and uploads are read back from its protocol log.
//   Proftpd  - Debian's proftpd-core as scripts/ftp-servers.sh unpacks it under
//              /var/cache/trelvan-ftpd, in the foreground (-n) with a config
//              written here. Logs in `user`/`password` from its own password
//              file (AuthUserFile, a SHA-512 crypt hash), as the "ftp"
//              account, chrooted to the root. Everything else is proftpd's
//              compiled default: no AllowOverwrite (STOR over an existing file
//              550) and no AllowStoreRestart (APPE on an existing file and
//              REST before STOR 451). Commands and uploads come from its
//              ExtendedLog; no TLS (mod_tls is not in proftpd-core).
//   PureFtpd - Debian's pure-ftpd from the same place, in the foreground with
//              no configuration but its user database (PureDB with a SHA-512
//              crypt hash: pure-pw's argon2 costs seconds per login), so as
//              the package leaves it: TLS compiled in but without a
//              certificate, so FEAT lists AUTH TLS and AUTH TLS gets 500.
//              Logs in as the "ftp" account, chrooted to the root. Its syslog
//              lines (-d: every command) go to a file through a preloaded
//              stand-in for syslog(3).
// All listen only on 127.0.0.1 or ::1, never on port 21; passive ports are
// any free port the system gives. The three real servers need root (tests
// run as root) and the "ftp" account that the vsftpd package creates; their
// upload events carry no offset (-1).
//
// Pyftpd and Vsftpd can speak FTP over TLS (FtpServerOptions::tls): explicit
// (AUTH TLS) or implicit, with the certificate and key the test names (see
// TestCertificates.h). pyftpdlib then runs its TLS_FTPHandler (Debian
// python3-openssl), the faults still working; vsftpd runs with ssl_enable,
// require_ssl_reuse (data connections must resume the control connection's
// session), strict_ssl_read_eof (an upload must end with close_notify), and
// asks anonymous for a password (any is taken) so that one goes over the wire.
//
// Every server is killed with its whole process group and every process
// below it (vsftpd's sessions included) when the object dies or stop() runs.

#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

/// How the test server behaves. The fault switches work with Pyftpd only,
/// TLS with Pyftpd and Vsftpd; starting another kind with them set fails.
/// Every member has an initializer, so a test names only what it changes:
/// {.noSize = true}.
struct FtpServerOptions
{
    std::string user = "trelvan";
    std::string password = "s3cret";
    bool ipv6 = false; ///< listen on ::1 instead of 127.0.0.1

    enum class Tls
    {
        Off,
        Explicit, ///< AUTH TLS offered in FEAT
        Implicit  ///< TLS from the first byte
    };
    Tls tls = Tls::Off;
    bool tlsRequired = true;     ///< with TLS: no login and no data connection without it
    std::string certFile{};      ///< with TLS: the server's PEM certificate (chain)
    std::string keyFile{};       ///< with TLS: its PEM private key
    uint16_t passivePortMin = 0; ///< passive data ports only from this range (0: any)
    uint16_t passivePortMax = 0;

    bool refusePassive = false;         ///< EPSV and PASV -> 502
    bool refuseEpsv = false;            ///< EPSV -> 502, PASV works
    bool refuseActive = false;          ///< EPRT and PORT -> 502
    bool refuseEprt = false;            ///< EPRT -> 502, PORT works
    bool noSize = false;                ///< SIZE -> 502 and not in FEAT
    bool noMlst = false;                ///< MLST and MLSD -> 502, MLST not in FEAT
    bool proftpdLike = false;           ///< APPE on an existing file -> 451, STOR over one -> 550
    bool refuseAppe = false;            ///< APPE -> 502
    bool refuseStor = false;            ///< STOR -> 553
    int64_t cutDataAfter = -1;          ///< reset an upload's data connection after N bytes
    int cutTimes = -1;                  ///< ... for the first K uploads only (-1: all)
    std::string cutReply{};             ///< ... replying this (default: a 426)
    int refuseResume = 0;               ///< APPE and REST -> this code
    int finalReply = -1;                ///< this code instead of 226 after an upload; 0: no reply
    int finalTimes = -1;                ///< ... for the first K uploads only (-1: all)
    bool multilineFinal = false;        ///< 226 as a multi-line reply
    bool multilineGreeting = false;     ///< 220 as a multi-line reply
    double refuseLoginSeconds = 0;      ///< 421 for every login within T s of start
    double replyDelaySeconds = 0;       ///< wait before handling each command
    std::string pasvAddress{};          ///< another host's address in 227 replies
    std::vector<std::string> stallOn{}; ///< commands never answered ("PASS", "LIST", ...)
    bool stallData = false;             ///< accept an upload but never read its data
    bool dropPipelined = false;         ///< drop commands that come with the one before
    int64_t readLimit = 0;      ///< read uploads at most this many bytes a second (0: at once)
    bool noDataConnect = false; ///< accept EPRT/PORT but never connect
    bool legacyNames = false;   ///< names as the disk's bytes, UTF8 not in FEAT
    std::string endlessList{};  ///< "folders" or "files": LIST and MLSD send such lines for ever
    /// X commands offered in FEAT and answered "250 <HEX>" with the digest of
    /// the file on disk ("XSHA256", "XSHA1", "XMD5", "XCRC").
    std::vector<std::string> xDigests{};
    /// Raw reply bytes for a command ("FEAT") or for "GREETING".
    std::vector<std::pair<std::string, std::string>> badReplies{};

    /// Proftpd: modules loaded from the unpacked package ("mod_digest.c").
    std::vector<std::string> proftpdModules{};
    /// Proftpd: more configuration lines ("AllowStoreRestart on").
    std::vector<std::string> proftpdLines{};
    /// Vsftpd: more configuration lines ("delete_failed_uploads=YES").
    std::vector<std::string> vsftpdLines{};
    /// Pure-ftpd: more command-line options ("-r": keep an existing file,
    /// store the new one under another name).
    std::vector<std::string> pureFtpdArgs{};
};

/// One recorded event: a command ("command": command is the line, PASS
/// masked) or an upload data transfer ("upload": command STOR or APPE, path,
/// starting offset, bytes received).
struct FtpServerEvent
{
    std::string kind;
    std::string command;
    std::string path;
    int64_t offset = -1;
    int64_t bytes = -1;
};

/// A running test server; see the top of this file.
class FtpTestServer
{
public:
    enum class Kind
    {
        Pyftpd,
        Vsftpd,
        Proftpd,
        PureFtpd
    };
    using Event = FtpServerEvent;

    /// Starts a server and waits until it answers. Null when it cannot start;
    /// lastError() then says why.
    static std::unique_ptr<FtpTestServer> start(Kind kind, const FtpServerOptions &opts = {});
    static std::string lastError();

    /// Whether ::1 can be used here; IPv6 tests skip when it cannot.
    static bool ipv6Available();

    /// The kind's name for test names: "pyftpdlib", "vsftpd", "proftpd" or
    /// "pureftpd".
    static const char *kindName(Kind kind);

    ~FtpTestServer();
    FtpTestServer(const FtpTestServer &) = delete;
    FtpTestServer &operator=(const FtpTestServer &) = delete;

    Kind kind() const { return m_kind; }
    uint16_t port() const { return m_port; }
    /// "127.0.0.1:PORT" or "[::1]:PORT".
    std::string serverField() const;
    /// What to log in with: "anonymous" for vsftpd, with "" for a password,
    /// or any one ("guest-pw") over TLS, where vsftpd asks for one.
    std::string user() const;
    std::string password() const;
    /// A remote folder the user may write to, without trailing slash.
    std::string uploadFolder() const;
    /// The server's root folder on disk.
    QString rootPath() const;
    /// Where `remotePath` ("/upload/a.bin") lives on disk.
    QString localPath(const std::string &remotePath) const;
    /// Creates a folder under the root that the server user may write into
    /// (owned by "ftp"); returns its remote path.
    std::string makeWritableFolder(const std::string &remotePath) const;

    /// Commands and uploads in the order the server saw them.
    std::vector<Event> events() const;
    /// Only the command lines.
    std::vector<std::string> commands() const;
    /// Only the uploads.
    std::vector<Event> uploads() const;
    /// The uploads as "COMMAND offset+bytes" lines ("APPE 300000+748576"),
    /// to compare a run's uploads at once.
    std::vector<std::string> uploadLines() const;
    /// The commands received that start with `prefix` ("PASS", "CWD ").
    std::vector<std::string> commandsStartingWith(const std::string &prefix) const;

    /// Kills the server and its sessions (SIGKILL) and waits for it.
    void stop();
    /// Starts it again on the same port and root.
    bool restart();
    /// Changes the certificate the next restart() serves.
    void setCertificate(const std::string &certFile, const std::string &keyFile);
    /// Changes the TLS mode the next restart() serves (a server that drops
    /// TLS, or a man in the middle who hides it).
    void setTls(FtpServerOptions::Tls tls) { m_opts.tls = tls; }
    bool isRunning() const { return m_pid > 0; }

private:
    FtpTestServer(Kind kind, const FtpServerOptions &opts);
    bool launch(std::string *error);
    bool launchPyftpd(std::string *error);
    bool launchDaemon(std::string *error);
    bool writeConfig(std::string *error);
    bool writeVsftpdConfig(std::string *error);
    std::string vsftpdOptionalConfig() const;
    bool writeProftpdConfig(std::string *error);
    bool writePureFtpdUsers(std::string *error);
    std::vector<std::string> daemonCommand() const;
    std::vector<Event> vsftpdEvents() const;
    std::vector<Event> proftpdEvents() const;
    std::vector<Event> pureFtpdEvents() const;
    /// The remote path of a file the server logged by its place on disk.
    std::string remoteOf(const std::string &diskPath) const;

    Kind m_kind;
    FtpServerOptions m_opts;
    QTemporaryDir m_dir; // root/, empty/, server.log, the kind's config and logs
    uint16_t m_port = 0;
    pid_t m_pid = -1;
};
