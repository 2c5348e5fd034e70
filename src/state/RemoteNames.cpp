// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/RemoteNames.h"

#include "ftp/ConnectionDefaults.h"
#include "ftp/FtpClient.h"
#include "state/Windows1251.h"

const QString RemoteNames::SettingsKey = QStringLiteral("Windows1251Servers");

namespace {

bool isAscii(const std::string &s)
{
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

} // namespace

RemoteNames::RemoteNames(QString settingsFile) : m_windows1251(std::move(settingsFile), SettingsKey)
{
}

QString RemoteNames::keyOf(const QString &server)
{
    // As the FTP client reads the field: "ftp://Host:21/" and "host" are one server.
    if (const auto address = ftp::parseServerField(server.toStdString()))
        return serverKey(address->host, address->port);
    QString key = server.toLower();
    key.removeIf([](QChar c) { return c.isSpace(); });
    return key;
}

QString RemoteNames::serverKey(const std::string &host, uint16_t port)
{
    QString name = QString::fromStdString(host).toLower();
    if (name.isEmpty())
        name = QString::fromLatin1(ftp::kDefaultHost);
    if (name.contains(u':'))
        name = u'[' + name + u']';
    QString key = name + u':' + QString::number(port);
    // Blanks separate the keys in the settings file; no server name has any.
    key.removeIf([](QChar c) { return c.isSpace(); });
    return key;
}

void RemoteNames::learn(const QString &server, bool utf8Listed,
                        const std::vector<std::string> &names)
{
    const QString key = keyOf(server);
    if (utf8Listed) {
        m_windows1251.set(key, false);
        return;
    }
    bool utf8Seen = false;
    for (const std::string &name : names) {
        if (!windows1251::isValidUtf8(name)) {
            m_windows1251.set(key, true);
            return;
        }
        utf8Seen = utf8Seen || !isAscii(name);
    }
    // Names in plain ASCII say nothing either way.
    if (utf8Seen)
        m_windows1251.set(key, false);
}

bool RemoteNames::usesWindows1251(const QString &server) const
{
    return m_windows1251.contains(keyOf(server));
}

void RemoteNames::choose(const QString &server, const QString &text, const std::string &bytes)
{
    m_chosen = Chosen{keyOf(server), text, bytes};
}

std::string RemoteNames::toServer(const QString &server, const QString &path) const
{
    const QString key = keyOf(server);
    std::string bytes;
    QString typed = path;
    if (m_chosen && m_chosen->server == key && !m_chosen->text.isEmpty() &&
        (path == m_chosen->text || path.startsWith(m_chosen->text + u'/'))) {
        bytes = m_chosen->bytes;
        typed = path.mid(m_chosen->text.size());
    }
    const std::string utf8 = typed.toStdString();
    std::optional<std::string> legacy;
    if (m_windows1251.contains(key))
        legacy = windows1251::fromUtf8(utf8);
    bytes += legacy ? *legacy : utf8;
    return bytes;
}
