// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// An environment variable set for a scope, put back as it was when the scope
// ends, however the test leaves it.

#include <QByteArray>
#include <QtGlobal>

class ScopedEnv
{
public:
    /// Sets `name` to `value`, or unsets it when `value` is null.
    ScopedEnv(const char *name, const QByteArray &value)
        : m_name(name), m_was(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
    }
    ~ScopedEnv() { m_was ? qputenv(m_name, m_old) : qunsetenv(m_name); }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *m_name;
    bool m_was;
    QByteArray m_old;
};
