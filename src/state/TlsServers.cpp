#include "state/TlsServers.h"

#include "state/ProfileFile.h"
#include "state/RemoteNames.h"

const QString TlsServers::SettingsKey = QStringLiteral("TlsServers");

namespace {
const QString OptionsSection = QStringLiteral("Options");
} // namespace

TlsServers::TlsServers(QString settingsFile) : m_settingsFile(std::move(settingsFile))
{
    if (m_settingsFile.isEmpty())
        return;
    const QString stored = ProfileFile(m_settingsFile).readString(OptionsSection, SettingsKey);
    m_servers = stored.split(u' ', Qt::SkipEmptyParts);
}

void TlsServers::remember(const std::string &host, uint16_t port)
{
    const QString key = RemoteNames::serverKey(host, port);
    if (m_servers.contains(key))
        return;
    m_servers.append(key);
    // The oldest go first when the list would not fit a value of the file.
    while (m_servers.join(u' ').size() > ProfileFile::MaxValueLength)
        m_servers.removeFirst();
    if (m_settingsFile.isEmpty())
        return;
    // A refused write loses only the memory across restarts.
    ProfileFile(m_settingsFile).writeString(OptionsSection, SettingsKey, m_servers.join(u' '));
}

bool TlsServers::contains(const std::string &host, uint16_t port) const
{
    return m_servers.contains(RemoteNames::serverKey(host, port));
}
