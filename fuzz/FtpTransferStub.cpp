// The listing parser has an overload that reads from a live FTP transfer. The
// fuzz targets hand it bytes only, so that overload is never called; this
// stands in for the one member it names, so that the FTP client's sockets and
// TLS need not be linked.

#include "ftp/FtpClient.h"

#include <cstdlib>

int ftp::FtpTransfer::read(char *, int)
{
    std::abort();
}
