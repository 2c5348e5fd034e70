// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

const char *const kOpenssl = "/usr/bin/openssl";
constexpr int kOpensslTimeoutMs = 30000;

} // namespace

TestCertificates::TestCertificates()
{
    if (!m_dir.isValid()) {
        m_error = "cannot create a temporary folder";
        return;
    }
    const QString config = m_dir.filePath("ca.cnf");
    if (!writeConfig(config, ""))
        return;
    m_valid = openssl({"req", "-x509", "-config", config, "-extensions", "ca", "-newkey", "ec",
                       "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                       m_dir.filePath("ca.key"), "-out", m_dir.filePath("ca.pem"), "-days", "30",
                       "-subj", "/O=Trelvan tests/CN=Trelvan Test CA"});
}

std::string TestCertificates::caFile() const
{
    return m_dir.filePath("ca.pem").toStdString();
}

std::string TestCertificates::hashedCaFolder()
{
    const QString folder = m_dir.filePath("roots");
    QByteArray hash;
    if (!m_dir.path().isEmpty() && QDir().mkpath(folder) &&
        openssl({"x509", "-hash", "-noout", "-in", m_dir.filePath("ca.pem")}, &hash) &&
        (QFile::exists(folder + '/' + hash.trimmed() + ".0") ||
         QFile::copy(m_dir.filePath("ca.pem"), folder + '/' + hash.trimmed() + ".0")))
        return folder.toStdString();
    return {};
}

bool TestCertificates::writeConfig(const QString &path, const std::string &altNames)
{
    std::string text = "[req]\n"
                       "distinguished_name = dn\n"
                       "[dn]\n"
                       "[ca]\n"
                       "basicConstraints = critical,CA:TRUE\n"
                       "keyUsage = critical,keyCertSign,cRLSign\n"
                       "subjectKeyIdentifier = hash\n"
                       "[server]\n"
                       "basicConstraints = critical,CA:FALSE\n"
                       "keyUsage = critical,digitalSignature\n"
                       "extendedKeyUsage = serverAuth\n";
    if (!altNames.empty())
        text += "subjectAltName = " + altNames + "\n";
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        f.write(text.data(), static_cast<qint64>(text.size())) < 0) {
        m_error = "cannot write " + path.toStdString();
        return false;
    }
    return true;
}

bool TestCertificates::openssl(const QStringList &args, QByteArray *out)
{
    QProcess p;
    p.start(kOpenssl, args);
    if (!p.waitForFinished(kOpensslTimeoutMs) || p.exitStatus() != QProcess::NormalExit ||
        p.exitCode() != 0) {
        m_error = "openssl " + args.join(' ').toStdString() +
                  " failed: " + p.readAllStandardError().toStdString();
        return false;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return true;
}

TestCertificates::Pair TestCertificates::signedByCa(const std::string &commonName,
                                                    const std::string &altNames)
{
    const QString base = m_dir.filePath(QString("server%1").arg(++m_count));
    const QString config = base + ".cnf";
    Pair pair{(base + ".pem").toStdString(), (base + ".key").toStdString()};
    if (!m_valid || !writeConfig(config, altNames) ||
        !openssl({"req", "-new", "-config", config, "-newkey", "ec", "-pkeyopt",
                  "ec_paramgen_curve:P-256", "-nodes", "-keyout", base + ".key", "-out",
                  base + ".csr", "-subj", QString::fromStdString("/CN=" + commonName)}) ||
        !openssl({"x509", "-req", "-in", base + ".csr", "-CA", m_dir.filePath("ca.pem"), "-CAkey",
                  m_dir.filePath("ca.key"), "-set_serial", QString::number(1000 + m_count), "-days",
                  "30", "-extfile", config, "-extensions", "server", "-out", base + ".pem"}))
        return {};
    return pair;
}

TestCertificates::Pair TestCertificates::selfSigned(const std::string &commonName,
                                                    const std::string &altNames)
{
    const QString base = m_dir.filePath(QString("self%1").arg(++m_count));
    const QString config = base + ".cnf";
    Pair pair{(base + ".pem").toStdString(), (base + ".key").toStdString()};
    if (!writeConfig(config, altNames) ||
        !openssl({"req", "-x509", "-config", config, "-extensions", "server", "-newkey", "ec",
                  "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", base + ".key", "-out",
                  base + ".pem", "-days", "30", "-subj",
                  QString::fromStdString("/O=Trelvan tests/CN=" + commonName)}))
        return {};
    return pair;
}

std::string TestCertificates::fingerprint(const std::string &certFile)
{
    QByteArray out;
    if (!openssl(
            {"x509", "-noout", "-fingerprint", "-sha256", "-in", QString::fromStdString(certFile)},
            &out))
        return {};
    // "sha256 Fingerprint=AB:CD:..."
    const int at = out.indexOf('=');
    return at < 0 ? std::string() : out.mid(at + 1).trimmed().toStdString();
}
