// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CommandLine.h"

namespace CommandLine {

Parsed parse(const QStringList &arguments)
{
    Parsed parsed;
    bool options = true;
    for (const QString &argument : arguments) {
        if (options && argument == u"--") {
            options = false;
        } else if (options && argument == u"--help") {
            parsed.action = Action::Help;
            return parsed;
        } else if (options && argument == u"--version") {
            parsed.action = Action::Version;
            return parsed;
        } else {
            parsed.files.append(argument);
        }
    }
    return parsed;
}

QString helpText(bool russian)
{
    if (russian)
        return QStringLiteral("Использование: trelvan [ПАРАМЕТР]... [--] [ФАЙЛ]...\n"
                              "Закачивает файлы в одну папку FTP-сервера; прерванный файл\n"
                              "продолжается с того места, где остановился.\n"
                              "\n"
                              "  --help      показать эту справку и выйти\n"
                              "  --version   показать версию и выйти\n"
                              "  --          дальше только файлы, даже с именем вроде «--help»\n"
                              "\n"
                              "Файлы добавляются в список закачки. Если Trelvan уже запущен, они\n"
                              "передаются в его окно.\n");
    return QStringLiteral("Usage: trelvan [OPTION]... [--] [FILE]...\n"
                          "Uploads files into one folder of an FTP server; a file cut off is\n"
                          "continued from where it stopped.\n"
                          "\n"
                          "  --help      show this help and exit\n"
                          "  --version   show the version and exit\n"
                          "  --          only files follow, even one named like \"--help\"\n"
                          "\n"
                          "The files join the upload list. If Trelvan is running already, they\n"
                          "go to its window.\n");
}

QString versionText()
{
    return QStringLiteral("Trelvan " TRELVAN_VERSION "\n");
}

bool russianLocale()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            return value.startsWith(u"ru");
    }
    return false;
}

} // namespace CommandLine
