// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// How the real-server tests push bytes through an open upload.

#include "ftp/FtpClient.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

/// Sends `bytes` with write() in 4096-byte blocks.
inline bool sendBlocks(ftp::FtpTransfer &t, const std::string &bytes)
{
    for (std::size_t pos = 0; pos < bytes.size(); pos += ftp::kTransferBlockBytes) {
        const int len =
            static_cast<int>(std::min<std::size_t>(ftp::kTransferBlockBytes, bytes.size() - pos));
        if (t.write(bytes.data() + pos, len) != len)
            return false;
    }
    return true;
}

/// Sends `bytes` as the upload run does: room reserved for each of `chunks`
/// in turn (the last repeats), filled in place and committed block by block.
inline bool sendReserved(ftp::FtpTransfer &t, const std::string &bytes,
                         const std::vector<int> &chunks)
{
    std::size_t pos = 0;
    for (std::size_t k = 0; pos < bytes.size(); ++k) {
        const int chunk = std::min<int>(chunks[std::min(k, chunks.size() - 1)],
                                        static_cast<int>(bytes.size() - pos));
        char *room = t.reserve(chunk);
        if (!room)
            return false;
        std::memcpy(room, bytes.data() + pos, static_cast<std::size_t>(chunk));
        for (int done = 0; done < chunk; done += ftp::kTransferBlockBytes) {
            const int len = std::min(ftp::kTransferBlockBytes, chunk - done);
            if (t.commit(len) != len)
                return false;
        }
        pos += static_cast<std::size_t>(chunk);
    }
    return true;
}
