// Preloaded into pure-ftpd by the test fixture: the server logs its commands
// and uploads only through syslog(3), and a test must neither depend on a
// system log daemon nor share one with other tests. Every message goes as one
// line to the file named by TRELVAN_SYSLOG_FILE, opened once at load, so the
// server's sessions still reach it after they chroot and drop privileges.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_fd = -1;

__attribute__((constructor)) void openLogFile()
{
    if (const char *path = std::getenv("TRELVAN_SYSLOG_FILE"))
        g_fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void writeLine(const char *format, va_list args)
{
    if (g_fd < 0)
        return;
    char line[2048];
    int n = std::vsnprintf(line, sizeof line - 1, format, args);
    if (n < 0)
        return;
    if (n > static_cast<int>(sizeof line) - 2)
        n = static_cast<int>(sizeof line) - 2;
    line[n++] = '\n';
    // One write per line: O_APPEND keeps the sessions' lines whole.
    if (::write(g_fd, line, static_cast<size_t>(n)) < 0)
        return;
}

} // namespace

extern "C" {

void openlog(const char *, int, int) {}
void closelog() {}

void vsyslog(int, const char *format, va_list args)
{
    writeLine(format, args);
}

void syslog(int, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}

// What calls to syslog become in programs built with _FORTIFY_SOURCE.
void __vsyslog_chk(int, int, const char *format, va_list args)
{
    writeLine(format, args);
}

void __syslog_chk(int, int, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}
}
