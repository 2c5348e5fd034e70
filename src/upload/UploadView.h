// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "upload/ContinuePrompt.h"

#include <QString>

/// What the upload run needs from its window. The main window implements it;
/// tests implement it with a script and no screen. Its askContinue() is the
/// connection-lost prompt.
class UploadView : public ContinuePrompt
{
public:
    enum class Icon
    {
        Information,
        Warning,
        Error
    };

    struct Progress
    {
        int percent = 0;   ///< overall, 0..100 (may exceed when more was sent)
        qint64 sent = 0;   ///< bytes counted as sent
        qint64 left = 0;   ///< upload total - sent (may be negative)
        QString timeLeft;  ///< "hh:nn:ss"
        int filesLeft = 0; ///< items still to be sent, the current one included
    };

    /// A message box owned by the main window with an OK button.
    virtual void showMessage(const QString &text, const QString &caption, Icon icon) = 0;
    /// The run has ended, just before its closing message box: the message
    /// that box shows, how many files this run sent, and how many it was to
    /// send (those sent, those passed over and those still pending).
    virtual void runEnded(const QString &message, int filesSent, int filesTotal) = 0;

    /// Appends a line to the transfer log and returns its index.
    virtual int addLogLine(const QString &text) = 0;
    /// Adds suffix to the end of log line index; nothing when out of range.
    virtual void appendToLogLine(int index, const QString &suffix) = 0;

    /// Progress bar and labels.
    virtual void showProgress(const Progress &progress) = 0;
    /// Selects the row (earlier selections stay) and gives it the focus.
    virtual void focusRow(int row) = 0;

    /// Stores the busy flag and runs the command-state update.
    virtual void setBusy(bool busy) = 0;
    /// Re-applies the enabling rules.
    virtual void commandStateUpdate() = 0;
    /// Lets the window handle pending events (clicks, repaints, hand-offs).
    virtual void processEvents() = 0;
    /// The destination folder text as typed now.
    virtual QString destFolder() const = 0;
};
