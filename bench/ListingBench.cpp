// SPDX-License-Identifier: GPL-3.0-or-later
// Times the listing parser on Unix long listings of 250,000, 500,000 and
// 1,000,000 lines (about 70 bytes a line, as vsftpd writes them): the whole
// listing must parse in well under a second, and the time must grow linearly
// with the number of lines.
//
// Output, one line per size: "listing lines=N bytes=B ms=T folders=F".

#include "folders/ListingParser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

/// A listing as a big FTP folder gives it: "total", then folders, files and
/// links in turn, with both date forms and a few names with blanks.
std::string makeListing(int lines)
{
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::string text;
    text.reserve(std::size_t(lines) * 72);
    text += "total " + std::to_string(lines) + "\r\n";
    char line[160];
    for (int i = 1; i < lines; ++i) {
        const char *month = months[i % 12];
        const int day = 1 + i % 28;
        switch (i % 4) {
        case 0:
            std::snprintf(line, sizeof line,
                          "drwxr-xr-x    2 ftp      ftp          4096 %s %2d 09:26 folder_%07d\r\n",
                          month, day, i);
            break;
        case 1:
            std::snprintf(line, sizeof line,
                          "-rw-r--r--    1 ftp      ftp      %8d %s %2d  2024 file_%07d.bin\r\n",
                          i * 37 % 99999991, month, day, i);
            break;
        case 2:
            std::snprintf(
                line, sizeof line,
                "drwxrwxr-x    5 1001     1001         4096 %s %2d 17:03 my folder %06d\r\n", month,
                day, i);
            break;
        default:
            std::snprintf(
                line, sizeof line,
                "lrwxrwxrwx    1 ftp      ftp            11 %s %2d 12:00 link%06d -> target\r\n",
                month, day, i);
            break;
        }
        text += line;
    }
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    // "--lines N" times one size only (the smoke run uses a small one).
    std::vector<int> sizes = {250000, 500000, 1000000};
    if (argc == 3 && std::string(argv[1]) == "--lines")
        sizes = {std::atoi(argv[2])};
    for (int lines : sizes) {
        const std::string listing = makeListing(lines);
        // The median of five rounds.
        std::vector<double> times;
        std::size_t folders = 0;
        for (int round = 0; round < 5; ++round) {
            const auto start = std::chrono::steady_clock::now();
            const std::vector<std::string> names = folders::parseFolderNames(listing);
            const auto end = std::chrono::steady_clock::now();
            times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
            folders = names.size();
        }
        std::sort(times.begin(), times.end());
        std::printf("listing lines=%d bytes=%zu ms=%.1f folders=%zu\n", lines, listing.size(),
                    times[times.size() / 2], folders);
        std::fflush(stdout);
    }
    return 0;
}
