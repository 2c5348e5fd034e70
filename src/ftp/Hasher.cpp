// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftp/Hasher.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>

namespace ftp {

namespace {

const EVP_MD *digestOf(HashAlgorithm algorithm)
{
    switch (algorithm) {
    case HashAlgorithm::Sha256:
        return EVP_sha256();
    case HashAlgorithm::Sha1:
        return EVP_sha1();
    case HashAlgorithm::Md5:
        return EVP_md5();
    case HashAlgorithm::Crc32:
        break;
    }
    return nullptr;
}

std::string hexOf(const unsigned char *bytes, std::size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(len * 2);
    for (std::size_t i = 0; i < len; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0xf];
    }
    return hex;
}

} // namespace

Hasher::Hasher(HashAlgorithm algorithm) : m_algorithm(algorithm)
{
    if (digestOf(algorithm))
        m_ctx = EVP_MD_CTX_new();
    reset();
}

Hasher::~Hasher()
{
    EVP_MD_CTX_free(m_ctx);
}

void Hasher::reset()
{
    m_crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    // OpenSSL may refuse a digest (MD5 under a FIPS policy).
    m_failed = digestOf(m_algorithm) &&
               (!m_ctx || EVP_DigestInit_ex(m_ctx, digestOf(m_algorithm), nullptr) != 1);
}

void Hasher::update(const char *data, std::size_t len)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    if (m_failed)
        return;
    if (m_ctx) {
        m_failed = EVP_DigestUpdate(m_ctx, bytes, len) != 1;
        return;
    }
    // zlib takes at most 4 GiB at a time.
    while (len > 0) {
        const auto piece = static_cast<uInt>(std::min<std::size_t>(len, 1u << 30));
        m_crc = static_cast<uint32_t>(crc32(m_crc, bytes, piece));
        bytes += piece;
        len -= piece;
    }
}

std::string Hasher::hexDigest()
{
    std::string hex;
    if (m_ctx) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (!m_failed && EVP_DigestFinal_ex(m_ctx, digest, &len) == 1)
            hex = hexOf(digest, len);
    } else if (!m_failed) {
        const unsigned char crc[4] = {
            static_cast<unsigned char>(m_crc >> 24), static_cast<unsigned char>(m_crc >> 16),
            static_cast<unsigned char>(m_crc >> 8), static_cast<unsigned char>(m_crc)};
        hex = hexOf(crc, sizeof crc);
    }
    reset();
    return hex;
}

} // namespace ftp
