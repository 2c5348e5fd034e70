// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/TestReport.h"

#include "shell/UMainForm.h"

#include <QApplication>
#include <QMessageBox>
#include <QSaveFile>
#include <QTimer>

#include <memory>

void keepTestReport(TfrmMainForm *window)
{
    const QString path = qEnvironmentVariable("TRELVAN_TEST_REPORT");
    if (path.isEmpty())
        return;
    auto last = std::make_shared<QByteArray>();
    auto *timer = new QTimer(window);
    QObject::connect(timer, &QTimer::timeout, window, [path, window, last] {
        QByteArray text = window->isVisible() ? "visible\n" : "hidden\n";
        if (QWidget *modal = QApplication::activeModalWidget()) {
            text += "modal " + QByteArray(modal->metaObject()->className()) + '\n';
            if (auto *box = qobject_cast<QMessageBox *>(modal))
                text += "box " + box->text().replace(u'\n', u'|').toUtf8() + '\n';
        }
        for (const QString &item : window->uploadList().paths())
            text += "item " + item.toUtf8() + '\n';
        if (text == *last)
            return;
        QSaveFile file(path);
        if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())
            *last = text;
    });
    timer->start(20);
}
