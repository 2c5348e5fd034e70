#include "TestProgram.h"

#include "shell/WindowFonts.h"

#include <QFile>

TestProgram::TestProgram(const std::function<void(const QString &)> &prepare)
{
    const QString base = dir.path() + QLatin1Char('/');
    files = UploadFiles{base + QStringLiteral("Settings.ini"), base + QStringLiteral("Files.txt"),
                        base + QStringLiteral("Upload.dat"), base + QStringLiteral("Temp.dat")};
    if (prepare)
        prepare(base);
    main = std::make_unique<TfrmMainForm>(files);
    connection = new TfrmConnection(main.get());
    connLost = new TfrmConnLost(main.get());
    about = new TfrmAbout(main.get());
    help = std::make_unique<TfrmHelp>(base + QStringLiteral("Help.html"));
    TfrmConnection *dialog = connection;
    TfrmMainForm *window = main.get();
    folders = new TfrmFolders(
        connLost, [dialog] { return dialog->fields(); }, [window] { return window->ftpOptions(); },
        main.get());
    connLost->setFont(WindowFonts::sansSerif(11));
    folders->setFont(WindowFonts::sansSerif(11));
    main->setWindows({connection, connLost, about, help.get(), folders});
}

TestProgram::~TestProgram()
{
    help.reset();
    main.reset();
}

QString TestProgram::path(const QString &name) const
{
    return dir.path() + QLatin1Char('/') + name;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}
