// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/FtpTestServer.h"
#include "support/Loopback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <crypt.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// How long a server may take to start listening; pyftpdlib's start-up is
// mostly the Python import, the others' is immediate.
constexpr int kStartTimeoutMs = 15000;
// Pause between two probes of a port that does not answer yet.
constexpr int kProbePauseMs = 20;

const char *const kPython = "/usr/bin/python3";
const char *const kVsftpd = "/usr/sbin/vsftpd";
// Unpacked by scripts/ftp-servers.sh: their packages conflict with vsftpd's.
const char *const kUnpacked = "/var/cache/trelvan-ftpd";
const std::string kProftpd = std::string(kUnpacked) + "/proftpd-core/usr/sbin/proftpd";
const std::string kProftpdModules = std::string(kUnpacked) + "/proftpd-core/usr/lib/proftpd";
const std::string kPureFtpd = std::string(kUnpacked) + "/pure-ftpd/usr/sbin/pure-ftpd";
const std::string kPurePw = std::string(kUnpacked) + "/pure-ftpd/usr/bin/pure-pw";

std::string g_lastError;

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string readTail(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = f.size();
    if (size > 2000)
        f.seek(size - 2000);
    return f.readAll().toStdString();
}

// A port that is free right now on the loopback address.
uint16_t freePort(bool ipv6)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_storage addr;
    const socklen_t len = loopbackAddress(ipv6, 0, &addr);
    const uint16_t port =
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 ? boundPort(fd) : 0;
    ::close(fd);
    return port;
}

bool processAlive(pid_t pid)
{
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == 0;
}

// Starts argv[0] in a process group of its own, with stdout into a pipe
// (returned in *outFd) or into `logPath`, stderr into `logPath`, and `env`
// ("NAME=value") added to the environment. The child dies with the test
// process (PR_SET_PDEATHSIG), so a crashed test leaves no server behind.
pid_t spawn(const std::vector<std::string> &args, const QString &logPath, int *outFd,
            const std::vector<std::string> &env = {})
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    for (char **e = environ; *e; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);

    const std::string log = logPath.toStdString();
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0)
        return -1;
    int pipeFds[2] = {-1, -1};
    if (outFd && ::pipe2(pipeFds, O_CLOEXEC) < 0) {
        ::close(logFd);
        return -1;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, 0);
        ::dup2(outFd ? pipeFds[1] : logFd, 1);
        ::dup2(logFd, 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(logFd);
    if (outFd) {
        ::close(pipeFds[1]);
        if (pid < 0)
            ::close(pipeFds[0]);
        else
            *outFd = pipeFds[0];
    }
    return pid;
}

// Every process below `root`: vsftpd's sessions leave its process group
// (they call setsid), so the group alone would let them run on.
std::vector<pid_t> descendants(pid_t root)
{
    std::vector<std::pair<pid_t, pid_t>> parentOf; // (pid, ppid)
    const QStringList entries = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
        const QByteArray line = stat.readAll();
        const int close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() > 1)
            parentOf.emplace_back(pid, fields[1].toInt());
    }
    std::vector<pid_t> found = {root};
    for (std::size_t i = 0; i < found.size(); ++i) {
        for (const auto &[pid, ppid] : parentOf) {
            if (ppid == found[i])
                found.push_back(pid);
        }
    }
    found.erase(found.begin());
    return found;
}

void killGroup(pid_t pid)
{
    if (pid <= 0)
        return;
    const std::vector<pid_t> below = descendants(pid);
    ::kill(-pid, SIGKILL);
    for (pid_t child : below)
        ::kill(child, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Runs a helper program to its end; true when it exits with 0.
bool runToEnd(const std::vector<std::string> &args, const QString &logPath)
{
    const pid_t pid = spawn(args, logPath, nullptr);
    if (pid <= 0)
        return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A SHA-512 crypt hash of `password`, as `openssl passwd -6` makes: cheap to
// check, unlike pure-pw's argon2, which costs seconds per login.
std::string sha512Crypt(const std::string &password)
{
    crypt_data data{};
    const char *hash = ::crypt_r(password.c_str(), "$6$trelvanfixture$", &data);
    return hash && hash[0] == '$' ? hash : "";
}

bool writeText(const QString &path, const std::string &text, mode_t mode)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        f.write(text.data(), static_cast<qint64>(text.size())) < 0)
        return false;
    f.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// The next line of a log without its line end; names may end in blanks.
QString logLine(QFile &f)
{
    QByteArray line = f.readLine();
    if (line.endsWith('\n'))
        line.chop(1);
    return QString::fromUtf8(line);
}

// Reads "PORT <n>" from the server's stdout.
uint16_t readPortLine(int fd, pid_t pid, Clock::time_point deadline)
{
    std::string text;
    while (msLeft(deadline) > 0) {
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, msLeft(deadline));
        if (n <= 0)
            continue;
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return 0; // the server exited
        text.append(buffer, static_cast<std::size_t>(got));
        const auto at = text.find("PORT ");
        const auto end = text.find('\n', at == std::string::npos ? 0 : at);
        if (at != std::string::npos && end != std::string::npos)
            return static_cast<uint16_t>(std::stoi(text.substr(at + 5, end - at - 5)));
    }
    (void)pid;
    return 0;
}

// Waits until a server on the port sends its 220 greeting; with
// `connectOnly` (implicit TLS, which greets only after a handshake) until it
// takes a connection.
bool waitForGreeting(bool ipv6, uint16_t port, pid_t pid, Clock::time_point deadline,
                     bool connectOnly)
{
    while (msLeft(deadline) > 0) {
        if (!processAlive(pid))
            return false;
        const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage addr;
        const socklen_t len = loopbackAddress(ipv6, port, &addr);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0) {
            if (connectOnly) {
                ::close(fd);
                return true;
            }
            std::string got;
            while (got.find('\n') == std::string::npos && msLeft(deadline) > 0) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, msLeft(deadline)) <= 0)
                    break;
                char buffer[512];
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                got.append(buffer, static_cast<std::size_t>(n));
            }
            ::close(fd);
            if (got.rfind("220", 0) == 0)
                return true;
        } else if (fd >= 0) {
            ::close(fd);
        }
        ::poll(nullptr, 0, kProbePauseMs);
    }
    return false;
}

// The script's arguments for the faults `o` asks for: empty when it asks for
// none, which the other kinds need.
std::vector<std::string> faultArguments(const FtpServerOptions &o)
{
    std::vector<std::string> args;
    auto flag = [&args](bool on, const char *name) {
        if (on)
            args.push_back(name);
    };
    auto value = [&args](bool on, const char *name, const std::string &v) {
        if (on)
            args.insert(args.end(), {name, v});
    };
    using std::to_string;
    flag(o.refusePassive, "--refuse-passive");
    flag(o.refuseEpsv, "--refuse-epsv");
    flag(o.refuseActive, "--refuse-active");
    flag(o.refuseEprt, "--refuse-eprt");
    flag(o.noSize, "--no-size");
    flag(o.noMlst, "--no-mlst");
    flag(o.proftpdLike, "--proftpd-like");
    flag(o.refuseAppe, "--refuse-appe");
    flag(o.refuseStor, "--refuse-stor");
    flag(o.multilineFinal, "--multiline-final");
    flag(o.multilineGreeting, "--multiline-greeting");
    flag(o.stallData, "--stall-data");
    flag(o.dropPipelined, "--drop-pipelined");
    flag(o.noDataConnect, "--no-data-connect");
    flag(o.legacyNames, "--legacy-names");
    value(!o.endlessList.empty(), "--endless-list", o.endlessList);
    value(o.cutDataAfter >= 0, "--cut-data-after", to_string(o.cutDataAfter));
    value(o.cutTimes >= 0, "--cut-times", to_string(o.cutTimes));
    value(!o.cutReply.empty(), "--cut-reply", o.cutReply);
    value(o.refuseResume > 0, "--refuse-resume", to_string(o.refuseResume));
    value(o.finalReply >= 0, "--final-reply", to_string(o.finalReply));
    value(o.finalTimes >= 0, "--final-times", to_string(o.finalTimes));
    value(o.readLimit > 0, "--read-limit", to_string(o.readLimit));
    value(o.refuseLoginSeconds > 0, "--refuse-login-seconds", to_string(o.refuseLoginSeconds));
    value(o.replyDelaySeconds > 0, "--reply-delay", to_string(o.replyDelaySeconds));
    value(!o.pasvAddress.empty(), "--pasv-address", o.pasvAddress);
    for (const std::string &cmd : o.stallOn)
        value(true, "--stall-on", cmd);
    for (const std::string &cmd : o.xDigests)
        value(true, "--x-digest", cmd);
    for (const auto &[cmd, text] : o.badReplies) {
        // The script reads \r and \n escapes; pass backslashes through as-is.
        std::string escaped;
        for (char c : text) {
            if (c == '\r')
                escaped += "\\r";
            else if (c == '\n')
                escaped += "\\n";
            else if (c == '\\')
                escaped += "\\\\";
            else
                escaped += c;
        }
        value(true, "--bad-reply", cmd + "=" + escaped);
    }
    return args;
}

} // namespace

std::unique_ptr<FtpTestServer> FtpTestServer::start(Kind kind, const FtpServerOptions &opts)
{
    g_lastError.clear();
    if (opts.ipv6 && !ipv6Available()) {
        g_lastError = "no IPv6 loopback address (::1) on this machine";
        return nullptr;
    }
    if (kind != Kind::Pyftpd && !faultArguments(opts).empty()) {
        g_lastError = "scripted faults need the pyftpdlib server";
        return nullptr;
    }
    if ((kind == Kind::Proftpd || kind == Kind::PureFtpd) &&
        opts.tls != FtpServerOptions::Tls::Off) {
        g_lastError = "TLS needs the pyftpdlib or vsftpd server";
        return nullptr;
    }
    std::unique_ptr<FtpTestServer> server(new FtpTestServer(kind, opts));
    if (!server->m_dir.isValid()) {
        g_lastError = "cannot create a temporary folder";
        return nullptr;
    }
    std::string error;
    if (!server->launch(&error)) {
        g_lastError = error;
        return nullptr;
    }
    return server;
}

std::string FtpTestServer::lastError()
{
    return g_lastError;
}

bool FtpTestServer::ipv6Available()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_storage addr;
    const socklen_t len = loopbackAddress(true, 0, &addr);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0;
    ::close(fd);
    return ok;
}

const char *FtpTestServer::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Pyftpd:
        return "pyftpdlib";
    case Kind::Vsftpd:
        return "vsftpd";
    case Kind::Proftpd:
        return "proftpd";
    case Kind::PureFtpd:
        return "pureftpd";
    }
    return "?";
}

FtpTestServer::FtpTestServer(Kind kind, const FtpServerOptions &opts) : m_kind(kind), m_opts(opts)
{
    if (!m_dir.isValid())
        return;
    // The real servers drop to the "ftp" account, which must be able to reach the root.
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
    QDir(m_dir.path()).mkpath("root/upload");
    QDir(m_dir.path()).mkpath("empty");
    ::chmod(QFile::encodeName(rootPath()).constData(), 0755);
    makeWritableFolder("/upload");
}

FtpTestServer::~FtpTestServer()
{
    stop();
}

bool FtpTestServer::launch(std::string *error)
{
    return m_kind == Kind::Pyftpd ? launchPyftpd(error) : launchDaemon(error);
}

bool FtpTestServer::launchPyftpd(std::string *error)
{
    std::vector<std::string> args = {
        kPython,      std::string(TRELVAN_TEST_SUPPORT_DIR) + "/ftpserver.py",
        "--host",     m_opts.ipv6 ? "::1" : "127.0.0.1",
        "--port",     std::to_string(m_port),
        "--root",     rootPath().toStdString(),
        "--user",     m_opts.user,
        "--password", m_opts.password,
        "--events",   m_dir.filePath("events.jsonl").toStdString(),
    };
    if (m_opts.tls != FtpServerOptions::Tls::Off) {
        args.insert(args.end(),
                    {"--tls",
                     m_opts.tls == FtpServerOptions::Tls::Implicit ? "implicit" : "explicit",
                     "--certfile", m_opts.certFile, "--keyfile", m_opts.keyFile});
        if (m_opts.tlsRequired)
            args.push_back("--tls-required");
    }
    if (m_opts.passivePortMin != 0)
        args.insert(args.end(), {"--passive-ports", std::to_string(m_opts.passivePortMin) + "-" +
                                                        std::to_string(m_opts.passivePortMax)});
    const std::vector<std::string> faults = faultArguments(m_opts);
    args.insert(args.end(), faults.begin(), faults.end());

    const QString log = m_dir.filePath("server.log");
    int outFd = -1;
    m_pid = spawn(args, log, &outFd);
    if (m_pid <= 0) {
        *error = std::string("cannot start ") + kPython + ": " + std::strerror(errno);
        m_pid = -1;
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    const uint16_t port = readPortLine(outFd, m_pid, deadline);
    ::close(outFd);
    if (port == 0) {
        stop();
        *error = "pyftpdlib server did not start: " + readTail(log);
        return false;
    }
    m_port = port;
    return true;
}

bool FtpTestServer::writeVsftpdConfig(std::string *error)
{
    const QString conf = QString::fromStdString(
        std::string("# Written by the Trelvan test fixture; see FtpTestServer.h.\n") +
        (m_opts.ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n"
                     : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n") +
        "listen_port=" + std::to_string(m_port) + "\n" +
        "background=NO\n"
        "anonymous_enable=YES\n"
        "local_enable=NO\n"
        // With TLS a password goes over the wire, for tests that look for it.
        "no_anon_password=" +
        (m_opts.tls == FtpServerOptions::Tls::Off ? "YES" : "NO") + "\n" +
        "anon_root=" + rootPath().toStdString() + "\n" +
        "write_enable=YES\n"
        "anon_upload_enable=YES\n"
        "anon_mkdir_write_enable=YES\n"
        "anon_other_write_enable=YES\n"
        "anon_world_readable_only=NO\n"
        "anon_umask=022\n"
        "pasv_enable=YES\n"
        "port_enable=YES\n"
        "connect_from_port_20=NO\n"
        "utf8_filesystem=YES\n"
        "hide_ids=NO\n"
        "dirmessage_enable=NO\n"
        "seccomp_sandbox=NO\n"
        "isolate=NO\n"
        "isolate_network=NO\n"
        "xferlog_enable=YES\n"
        "xferlog_std_format=NO\n"
        "log_ftp_protocol=YES\n"
        "vsftpd_log_file=" +
        m_dir.filePath("vsftpd.log").toStdString() + "\n" +
        "secure_chroot_dir=" + m_dir.filePath("empty").toStdString() + "\n" +
        "ftp_username=ftp\n"
        "nopriv_user=ftp\n"
        "max_clients=0\n"
        "max_per_ip=0\n" +
        vsftpdOptionalConfig());
    QFile f(m_dir.filePath("vsftpd.conf"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(conf.toUtf8()) < 0) {
        *error = "cannot write vsftpd.conf";
        return false;
    }
    f.close();
    // vsftpd refuses a config file that others may write.
    ::chmod(QFile::encodeName(f.fileName()).constData(), 0600);
    return true;
}

std::string FtpTestServer::vsftpdOptionalConfig() const
{
    std::string conf;
    for (const std::string &line : m_opts.vsftpdLines)
        conf += line + "\n";
    if (m_opts.passivePortMin != 0)
        conf += "pasv_min_port=" + std::to_string(m_opts.passivePortMin) + "\n" +
                "pasv_max_port=" + std::to_string(m_opts.passivePortMax) + "\n";
    if (m_opts.tls == FtpServerOptions::Tls::Off)
        return conf + "ssl_enable=NO\n";
    const std::string required = m_opts.tlsRequired ? "YES" : "NO";
    return conf +
           "ssl_enable=YES\n"
           "rsa_cert_file=" +
           m_opts.certFile + "\n" + "rsa_private_key_file=" + m_opts.keyFile + "\n" +
           "implicit_ssl=" + (m_opts.tls == FtpServerOptions::Tls::Implicit ? "YES" : "NO") +
           "\n"
           "allow_anon_ssl=YES\n"
           "force_anon_logins_ssl=" +
           required + "\n" + "force_anon_data_ssl=" + required + "\n" +
           "require_ssl_reuse=YES\n"
           "strict_ssl_read_eof=YES\n"
           "ssl_request_cert=NO\n"
           "ssl_ciphers=HIGH\n"
           "debug_ssl=YES\n";
}

bool FtpTestServer::writeProftpdConfig(std::string *error)
{
    const passwd *ftp = ::getpwnam("ftp");
    const std::string hash = sha512Crypt(m_opts.password);
    if (!ftp || hash.empty()) {
        *error = "cannot write proftpd's password file";
        return false;
    }
    const QString users = m_dir.filePath("ftpd.passwd");
    const std::string account = m_opts.user + ":" + hash + ":" + std::to_string(ftp->pw_uid) + ":" +
                                std::to_string(ftp->pw_gid) + "::" + rootPath().toStdString() +
                                ":/bin/false\n";
    // proftpd will not read a password file that others may read.
    if (!writeText(users, account, 0600)) {
        *error = "cannot write proftpd's password file";
        return false;
    }
    const auto file = [this](const char *name) { return m_dir.filePath(name).toStdString(); };
    std::string conf =
        "# Written by the Trelvan test fixture; see FtpTestServer.h.\n"
        "ServerName \"Trelvan test\"\n"
        "ServerType standalone\n"
        "Port " +
        std::to_string(m_port) + "\n" + "DefaultAddress " + (m_opts.ipv6 ? "::1" : "127.0.0.1") +
        "\n" + "UseIPv6 " + (m_opts.ipv6 ? "on" : "off") + "\n" +
        "SocketBindTight on\n"
        "User ftp\n"
        "Group nogroup\n"
        "Umask 022 022\n"
        "MaxInstances 30\n"
        "WtmpLog off\n"
        "UseReverseDNS off\n"
        "ScoreboardFile " +
        file("proftpd.scoreboard") + "\n" + "PidFile " + file("proftpd.pid") + "\n" +
        "DelayTable " + file("proftpd.delay") + "\n" + "SystemLog " + file("proftpd.log") + "\n" +
        "LogFormat command \"%r\"\n"
        "LogFormat upload \"%m %b %f\"\n"
        "ExtendedLog " +
        file("commands.log") + " ALL command\n" + "ExtendedLog " + file("uploads.log") +
        " WRITE upload\n" +
        "AuthOrder mod_auth_file.c\n"
        "AuthUserFile " +
        users.toStdString() + "\n" +
        "RequireValidShell off\n"
        "DefaultRoot ~\n"
        "ModulePath " +
        kProftpdModules + "\n";
    if (m_opts.passivePortMin != 0)
        conf += "PassivePorts " + std::to_string(m_opts.passivePortMin) + " " +
                std::to_string(m_opts.passivePortMax) + "\n";
    for (const std::string &module : m_opts.proftpdModules)
        conf += "LoadModule " + module + "\n";
    for (const std::string &line : m_opts.proftpdLines)
        conf += line + "\n";
    if (!writeText(m_dir.filePath("proftpd.conf"), conf, 0600)) {
        *error = "cannot write proftpd.conf";
        return false;
    }
    return true;
}

bool FtpTestServer::writePureFtpdUsers(std::string *error)
{
    const passwd *ftp = ::getpwnam("ftp");
    const std::string hash = sha512Crypt(m_opts.password);
    const QString users = m_dir.filePath("pureftpd.passwd");
    // "/./" ends the part of the home that becomes the session's root.
    if (!ftp || hash.empty() ||
        !writeText(users,
                   m_opts.user + ":" + hash + ":" + std::to_string(ftp->pw_uid) + ":" +
                       std::to_string(ftp->pw_gid) + "::" + rootPath().toStdString() +
                       "/./::::::::::::\n",
                   0600) ||
        !runToEnd({kPurePw, "mkdb", m_dir.filePath("pureftpd.pdb").toStdString(), "-f",
                   users.toStdString()},
                  m_dir.filePath("server.log"))) {
        *error = "cannot make pure-ftpd's user database: " + readTail(m_dir.filePath("server.log"));
        return false;
    }
    return true;
}

bool FtpTestServer::writeConfig(std::string *error)
{
    switch (m_kind) {
    case Kind::Vsftpd:
        return writeVsftpdConfig(error);
    case Kind::Proftpd:
        return writeProftpdConfig(error);
    case Kind::PureFtpd:
        return QFile::exists(m_dir.filePath("pureftpd.pdb")) || writePureFtpdUsers(error);
    case Kind::Pyftpd:
        break;
    }
    return false;
}

std::vector<std::string> FtpTestServer::daemonCommand() const
{
    switch (m_kind) {
    case Kind::Vsftpd:
        return {kVsftpd, m_dir.filePath("vsftpd.conf").toStdString()};
    case Kind::Proftpd:
        return {kProftpd, "-n", "-c", m_dir.filePath("proftpd.conf").toStdString()};
    case Kind::PureFtpd: {
        // -d logs every command; -E and -H only keep it from serving the
        // "ftp" account's home anonymously and from asking DNS for names.
        std::vector<std::string> args = {kPureFtpd,
                                         "-S",
                                         std::string(m_opts.ipv6 ? "::1" : "127.0.0.1") + "," +
                                             std::to_string(m_port),
                                         "-l",
                                         "puredb:" + m_dir.filePath("pureftpd.pdb").toStdString(),
                                         "-E",
                                         "-H",
                                         "-d"};
        if (m_opts.passivePortMin != 0)
            args.insert(args.end(), {"-p", std::to_string(m_opts.passivePortMin) + ":" +
                                               std::to_string(m_opts.passivePortMax)});
        args.insert(args.end(), m_opts.pureFtpdArgs.begin(), m_opts.pureFtpdArgs.end());
        return args;
    }
    case Kind::Pyftpd:
        break;
    }
    return {};
}

bool FtpTestServer::launchDaemon(std::string *error)
{
    const std::string name = kindName(m_kind);
    const std::string binary = daemonCommand().front();
    if (::access(binary.c_str(), X_OK) != 0) {
        *error = binary + " is missing (" +
                 (m_kind == Kind::Vsftpd ? "Debian package vsftpd"
                                         : "unpacked by scripts/ftp-servers.sh") +
                 ")";
        return false;
    }
    if (::geteuid() != 0) {
        *error = name + " in standalone mode needs root";
        return false;
    }
    if (!::getpwnam("ftp")) {
        *error = "the \"ftp\" account (made by the vsftpd package) is missing";
        return false;
    }
    std::vector<std::string> env;
    if (m_kind == Kind::PureFtpd)
        env = {std::string("LD_PRELOAD=") + TRELVAN_SYSLOG_SHIM,
               "TRELVAN_SYSLOG_FILE=" + m_dir.filePath("syslog.log").toStdString()};
    const bool fixedPort = m_port != 0;
    // A port probed free can be taken before the server binds it: try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!fixedPort)
            m_port = freePort(m_opts.ipv6);
        if (m_port == 0) {
            *error = "no free port";
            return false;
        }
        if (!writeConfig(error))
            return false;
        const QString log = m_dir.filePath("server.log");
        m_pid = spawn(daemonCommand(), log, nullptr, env);
        if (m_pid <= 0) {
            m_pid = -1;
            *error = "cannot start " + name + ": " + std::strerror(errno);
            return false;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
        if (waitForGreeting(m_opts.ipv6, m_port, m_pid, deadline,
                            m_opts.tls == FtpServerOptions::Tls::Implicit))
            return true;
        stop();
        *error = name + " did not start: " + readTail(log) +
                 readTail(m_dir.filePath("vsftpd.log")) + readTail(m_dir.filePath("proftpd.log"));
        // A restart on the same port: the killed server's session processes
        // may still hold the listening socket for a moment.
        if (fixedPort)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

void FtpTestServer::stop()
{
    killGroup(m_pid);
    m_pid = -1;
}

bool FtpTestServer::restart()
{
    stop();
    std::string error;
    if (!launch(&error)) {
        g_lastError = error;
        return false;
    }
    return true;
}

void FtpTestServer::setCertificate(const std::string &certFile, const std::string &keyFile)
{
    m_opts.certFile = certFile;
    m_opts.keyFile = keyFile;
}

std::string FtpTestServer::serverField() const
{
    return (m_opts.ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(m_port);
}

std::string FtpTestServer::user() const
{
    return m_kind == Kind::Vsftpd ? "anonymous" : m_opts.user;
}

std::string FtpTestServer::password() const
{
    if (m_kind != Kind::Vsftpd)
        return m_opts.password;
    return m_opts.tls == FtpServerOptions::Tls::Off ? "" : "guest-pw";
}

std::string FtpTestServer::uploadFolder() const
{
    return "/upload";
}

QString FtpTestServer::rootPath() const
{
    return m_dir.filePath("root");
}

QString FtpTestServer::localPath(const std::string &remotePath) const
{
    return rootPath() + QString::fromStdString(remotePath);
}

std::string FtpTestServer::makeWritableFolder(const std::string &remotePath) const
{
    const QString path = localPath(remotePath);
    QDir().mkpath(path);
    const QByteArray native = QFile::encodeName(path);
    ::chmod(native.constData(), 0755);
    if (const passwd *ftp = ::getpwnam("ftp"))
        ::chown(native.constData(), ftp->pw_uid, ftp->pw_gid);
    return remotePath;
}

std::vector<FtpTestServer::Event> FtpTestServer::events() const
{
    if (m_kind == Kind::Vsftpd)
        return vsftpdEvents();
    if (m_kind == Kind::Proftpd)
        return proftpdEvents();
    if (m_kind == Kind::PureFtpd)
        return pureFtpdEvents();
    std::vector<Event> events;
    QFile f(m_dir.filePath("events.jsonl"));
    if (!f.open(QIODevice::ReadOnly))
        return events;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine().trimmed();
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        Event e;
        e.kind = o.value("kind").toString().toStdString();
        e.command = o.value("command").toString().toStdString();
        e.path = o.value("path").toString().toStdString();
        e.offset = o.contains("offset") ? o.value("offset").toInteger() : -1;
        e.bytes = o.contains("bytes") ? o.value("bytes").toInteger() : -1;
        events.push_back(e);
    }
    return events;
}

std::vector<FtpTestServer::Event> FtpTestServer::vsftpdEvents() const
{
    // Lines of log_ftp_protocol with xferlog_std_format=NO:
    //   ... FTP command: Client "127.0.0.1", "STOR a.bin"
    //   ... OK UPLOAD: Client "127.0.0.1", "/upload/a.bin", 1234 bytes, ...
    static const QRegularExpression command(R"re(FTP command: Client "[^"]*", "(.*)"$)re");
    static const QRegularExpression upload(
        R"re((?:OK|FAIL) UPLOAD: Client "[^"]*", "(.*)", (\d+) bytes)re");
    std::vector<Event> events;
    QFile f(m_dir.filePath("vsftpd.log"));
    if (!f.open(QIODevice::ReadOnly))
        return events;
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        Event e;
        if (const auto m = command.match(line); m.hasMatch()) {
            e.kind = "command";
            e.command = m.captured(1).toStdString();
            if (e.command.rfind("PASS ", 0) == 0)
                e.command = "PASS ***";
        } else if (const auto u = upload.match(line); u.hasMatch()) {
            e.kind = "upload";
            e.path = u.captured(1).toStdString();
            e.bytes = u.captured(2).toLongLong();
        } else {
            continue;
        }
        events.push_back(e);
    }
    return events;
}

std::string FtpTestServer::remoteOf(const std::string &diskPath) const
{
    const QString path = QDir::cleanPath(QString::fromStdString(diskPath));
    const QString root = rootPath();
    if (path.startsWith(root + "/"))
        return path.mid(root.size()).toStdString();
    return path.toStdString();
}

std::vector<FtpTestServer::Event> FtpTestServer::proftpdEvents() const
{
    // Two ExtendedLogs: every command line as the client sent it (PASS is
    // written "PASS (hidden)"), and of each write command the verb, the
    // bytes it moved and the file's place on disk.
    std::vector<Event> events;
    QFile commands(m_dir.filePath("commands.log"));
    if (commands.open(QIODevice::ReadOnly)) {
        while (!commands.atEnd()) {
            Event e;
            e.kind = "command";
            e.command = logLine(commands).toStdString();
            if (e.command.rfind("PASS ", 0) == 0)
                e.command = "PASS ***";
            events.push_back(e);
        }
    }
    static const QRegularExpression upload(R"re(^(STOR|APPE) (\d+) (.*)$)re");
    QFile uploads(m_dir.filePath("uploads.log"));
    if (uploads.open(QIODevice::ReadOnly)) {
        while (!uploads.atEnd()) {
            const auto m = upload.match(logLine(uploads));
            if (!m.hasMatch())
                continue;
            Event e;
            e.kind = "upload";
            e.command = m.captured(1).toStdString();
            e.bytes = m.captured(2).toLongLong();
            e.path = remoteOf(m.captured(3).toStdString());
            events.push_back(e);
        }
    }
    return events;
}

std::vector<FtpTestServer::Event> FtpTestServer::pureFtpdEvents() const
{
    // With -d pure-ftpd logs, in order:
    //   (user@host) [DEBUG] Command [stor] [/upload/a.bin]
    //   (user@host) [NOTICE] /tmp/.../root//upload/a.bin uploaded  (1234 bytes, 5.0KB/sec)
    static const QRegularExpression command(R"re(\[DEBUG\] Command \[([a-z]+)\] \[(.*)\]$)re");
    static const QRegularExpression upload(R"re(\[NOTICE\] (.*) uploaded +\((\d+) bytes)re");
    std::vector<Event> events;
    QFile f(m_dir.filePath("syslog.log"));
    if (!f.open(QIODevice::ReadOnly))
        return events;
    std::string lastTransfer;
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        Event e;
        if (const auto m = command.match(line); m.hasMatch()) {
            e.kind = "command";
            e.command = m.captured(1).toUpper().toStdString();
            if (e.command == "PASS")
                e.command += " ***";
            else if (!m.captured(2).isEmpty())
                e.command += " " + m.captured(2).toStdString();
            if (e.command.rfind("STOR", 0) == 0 || e.command.rfind("APPE", 0) == 0)
                lastTransfer = e.command.substr(0, 4);
        } else if (const auto u = upload.match(line); u.hasMatch()) {
            e.kind = "upload";
            e.command = lastTransfer;
            e.path = remoteOf(u.captured(1).toStdString());
            e.bytes = u.captured(2).toLongLong();
        } else {
            continue;
        }
        events.push_back(e);
    }
    return events;
}

std::vector<std::string> FtpTestServer::commands() const
{
    std::vector<std::string> lines;
    for (const Event &e : events()) {
        if (e.kind == "command")
            lines.push_back(e.command);
    }
    return lines;
}

std::vector<FtpTestServer::Event> FtpTestServer::uploads() const
{
    std::vector<Event> found;
    for (const Event &e : events()) {
        if (e.kind == "upload")
            found.push_back(e);
    }
    return found;
}

std::vector<std::string> FtpTestServer::commandsStartingWith(const std::string &prefix) const
{
    std::vector<std::string> out;
    for (const std::string &line : commands()) {
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    }
    return out;
}

std::vector<std::string> FtpTestServer::uploadLines() const
{
    std::vector<std::string> lines;
    for (const Event &e : uploads())
        lines.push_back(e.command + " " + std::to_string(e.offset) + "+" + std::to_string(e.bytes));
    return lines;
}
