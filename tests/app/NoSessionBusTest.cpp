// SPDX-License-Identifier: GPL-3.0-or-later
// The real program on a machine without a session bus: the upload runs and
// ends as ever, and nothing is said about the missing bus.

#include "Sandbox.h"

#include <gtest/gtest.h>

TEST(NoSessionBus, UploadEndsAsEverWhetherTheBusAddressIsUnsetOrLeadsNowhere)
{
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    const QByteArray data = randomBytes(300000, 61);
    // Unset; a socket that does not exist; an address that is no address.
    // The sandbox's runtime folder has no bus in it, as the desktop would give.
    for (const char *address : {"", "unix:path=/nonexistent/bus", "nonsense"}) {
        SCOPED_TRACE(address);
        Sandbox box;
        const QString file = box.path("data/a.bin");
        writeFile(file, data);
        box.writeSettings(*server);
        box.writeList({file});
        box.environment.remove("DBUS_SESSION_BUS_ADDRESS");
        if (*address)
            box.environment.insert("DBUS_SESSION_BUS_ADDRESS", address);

        box.start(QString::fromStdString(server->password()));
        EXPECT_EQ(box.finish(60000), 0) << box.output().toStdString();
        EXPECT_TRUE(box.output().contains("MESSAGE Сообщение: Закачка файлов на сервер завершена"))
            << box.output().toStdString();
        EXPECT_EQ(box.errors(), QByteArray());
        EXPECT_EQ(readFile(server->localPath(server->uploadFolder() + "/a.bin")), data);
    }
}
