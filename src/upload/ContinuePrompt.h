#pragma once

#include <QString>

/// Whatever asks the user whether to try again after a connection problem:
/// the connection-lost prompt, a window that passes the question on to it,
/// or a test's script.
class ContinuePrompt
{
public:
    /// The answers, numbered as the prompt's modal results.
    enum Answer : int
    {
        Continue = 1,
        Cancel = 2
    };

    virtual ~ContinuePrompt() = default;

    /// Asks with this message (line breaks as "\r\n"). The prompt answers
    /// Continue by itself after ten seconds, so an unattended run goes on.
    virtual Answer askContinue(const QString &message) = 0;
};
