// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

/// What the command line asks for: the help text, the version, or the
/// program with its files. "--help" and "--version" are the options; "--"
/// ends them, so that a file really named "--help" can still be listed; any
/// other argument is a file.
namespace CommandLine {

enum class Action
{
    Run,
    Help,
    Version
};

struct Parsed
{
    Action action = Action::Run;
    QStringList files;
};

Parsed parse(const QStringList &arguments);

/// The help text, in Russian or in English.
QString helpText(bool russian);

/// "Trelvan <version>".
QString versionText();

/// Whether the user reads messages in Russian (LC_ALL, else LC_MESSAGES,
/// else LANG, as the C library looks them up).
bool russianLocale();

} // namespace CommandLine
