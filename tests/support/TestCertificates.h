// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Certificates for TLS tests, made with the openssl command (Debian openssl)
// in a temporary folder of their own: a test CA, server certificates signed
// by it, and self-signed ones. Keys are EC P-256, quick to make.

#include <QTemporaryDir>

#include <string>

/// The names a loopback test server answers to.
inline constexpr const char *kLoopbackAltNames = "IP:127.0.0.1,IP:127.0.0.2,IP:::1,DNS:localhost";

/// A test CA and the server certificates made with it; see the top of this file.
class TestCertificates
{
public:
    /// A certificate file and its key file, both PEM.
    struct Pair
    {
        std::string certFile;
        std::string keyFile;
    };

    /// Makes the test CA; isValid() says whether that worked.
    TestCertificates();

    bool isValid() const { return m_valid; }
    const std::string &error() const { return m_error; }

    /// The test CA's certificate, for FtpService::Options::caFile.
    std::string caFile() const;
    /// A folder holding the test CA filed by subject hash, as the system
    /// files its roots (/etc/ssl/certs); empty on failure.
    std::string hashedCaFolder();

    /// A server certificate for `commonName` signed by the test CA, naming
    /// `altNames` (subjectAltName syntax). Empty files on failure (see error()).
    Pair signedByCa(const std::string &commonName, const std::string &altNames = kLoopbackAltNames);
    /// A self-signed server certificate.
    Pair selfSigned(const std::string &commonName, const std::string &altNames = kLoopbackAltNames);

    /// The SHA-256 fingerprint as the client gives it ("AB:01:...").
    std::string fingerprint(const std::string &certFile);

private:
    bool openssl(const QStringList &args, QByteArray *out = nullptr);
    bool writeConfig(const QString &path, const std::string &altNames);

    QTemporaryDir m_dir;
    bool m_valid = false;
    std::string m_error;
    int m_count = 0;
};
