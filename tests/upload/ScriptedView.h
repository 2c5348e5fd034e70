// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "shell/QtPrinters.h"
#include "upload/UploadView.h"

#include <QCoreApplication>
#include <QStringList>

#include <deque>
#include <functional>

/// The upload run's window, played by a script: prompts answer from a queue
/// (Continue when it is empty), and every message, log line and progress
/// report is recorded for the test to check.
class ScriptedView : public UploadView
{
public:
    struct Message
    {
        QString text;
        QString caption;
        Icon icon;
    };

    struct End
    {
        QString message;
        int filesSent;
        int filesTotal;
        int messagesBefore; ///< message boxes shown before it
    };

    std::deque<int> answers; ///< answers to the next prompts; empty: Continue
    /// How each prompt asked, in the order of `prompts`.
    QList<Countdown> countdowns;
    int maxPrompts = 30; ///< a run that keeps asking is cancelled after this many
    QStringList prompts;
    QList<Message> messages;
    QList<End> ends;
    QStringList log;
    QList<Progress> progress;
    QList<bool> busyChanges;
    int stateUpdates = 0;
    QString folder;
    /// Called while the run lets the window breathe; tests act there as a
    /// user would (press Close, delete a row, hand a file over).
    std::function<void()> onEvents;
    /// Called when a prompt comes, before it is answered.
    std::function<void(const QString &)> onPrompt;
    /// Called with every new log line, once it is in the log.
    std::function<void(const QString &)> onLog;

    Answer askContinue(const QString &message, Countdown countdown = Countdown::Auto) override
    {
        prompts.append(message);
        countdowns.append(countdown);
        if (onPrompt)
            onPrompt(message);
        if (prompts.size() > maxPrompts)
            return Cancel;
        if (answers.empty())
            return Continue;
        const int a = answers.front();
        answers.pop_front();
        return Answer(a);
    }
    void showMessage(const QString &text, const QString &caption, Icon icon) override
    {
        messages.append({text, caption, icon});
    }
    void runEnded(const QString &message, int filesSent, int filesTotal) override
    {
        ends.append({message, filesSent, filesTotal, int(messages.size())});
    }
    int addLogLine(const QString &text) override
    {
        log.append(text);
        if (onLog)
            onLog(text);
        return int(log.size()) - 1;
    }
    void appendToLogLine(int index, const QString &suffix) override
    {
        if (index >= 0 && index < log.size())
            log[index] += suffix;
    }
    void showProgress(const Progress &p) override { progress.append(p); }
    void focusRow(int) override {}
    void setBusy(bool busy) override { busyChanges.append(busy); }
    void commandStateUpdate() override { ++stateUpdates; }
    void processEvents() override
    {
        QCoreApplication::processEvents();
        if (onEvents)
            onEvents();
    }
    QString destFolder() const override { return folder; }
};
