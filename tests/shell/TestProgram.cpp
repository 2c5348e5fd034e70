// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestProgram.h"

#include "ModalDriver.h"
#include "support/FtpTestServer.h"

#include "shell/WindowFonts.h"

#include <QLineEdit>
#include <QPushButton>

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

void prepareRun(TestProgram &p, ModalDriver &driver, const FtpTestServer &server, int count,
                const QString &serverField)
{
    driver.expect([&server, serverField](QWidget *dialog) {
        auto field = [dialog](const char *name) {
            return dialog->findChild<QLineEdit *>(QLatin1String(name));
        };
        field("edtServer")
            ->setText(serverField.isEmpty() ? QString::fromStdString(server.serverField())
                                            : serverField);
        field("edtUser")->setText(QString::fromStdString(server.user()));
        field("edtPassword")->setText(QString::fromStdString(server.password()));
        dialog->findChild<QPushButton *>(QStringLiteral("btnOk"))->click();
    });
    p.widget<QPushButton>("btnConnection")->click();
    p.widget<QLineEdit>("edtDstFolder")->setText(QString::fromStdString(server.uploadFolder()));
    for (int i = 0; i < count; ++i) {
        const QString file = p.path(QStringLiteral("f%1.bin").arg(i));
        writeFile(file, QByteArray(1000, 'a' + i));
        p.main->uploadList().addFile(file);
    }
    p.main->commandStateUpdate();
}
