// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/FtpParse.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct evp_md_ctx_st;

namespace ftp {

/// Digest of a byte stream fed piece by piece, as a server's HASH or X
/// command gives it: SHA-256, SHA-1 and MD5 by OpenSSL, CRC32 by zlib.
class Hasher
{
public:
    explicit Hasher(HashAlgorithm algorithm);
    ~Hasher();
    Hasher(const Hasher &) = delete;
    Hasher &operator=(const Hasher &) = delete;

    HashAlgorithm algorithm() const { return m_algorithm; }
    void update(const char *data, std::size_t len);
    /// Lower-case hex of everything fed so far, empty when OpenSSL could not
    /// compute it; the hasher then starts afresh.
    std::string hexDigest();
    /// Forgets everything fed so far.
    void reset();

private:
    HashAlgorithm m_algorithm;
    evp_md_ctx_st *m_ctx = nullptr; // null for CRC32
    uint32_t m_crc = 0;
    bool m_failed = false;
};

} // namespace ftp
