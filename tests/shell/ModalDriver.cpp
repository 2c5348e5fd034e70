// SPDX-License-Identifier: GPL-3.0-or-later
#include "ModalDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTest>

ModalDriver::ModalDriver()
{
    m_timer.setInterval(5);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
    m_timer.start();
}

ModalDriver::~ModalDriver() = default;

void ModalDriver::expect(Action action)
{
    m_actions.append(std::move(action));
}

void ModalDriver::answerBox(int button)
{
    expect([this, button](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box) {
            m_unexpected.append(QStringLiteral("not a message box: ") + modal->windowTitle());
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
            return;
        }
        m_boxes.append(Box{box->windowTitle(), box->text(), int(box->icon()),
                           int(box->standardButtons()), m_main && box->parentWidget() == m_main});
        if (QAbstractButton *b = box->button(QMessageBox::StandardButton(button)))
            b->click();
        else
            box->reject();
    });
}

bool ModalDriver::waitUntilDone(int ms)
{
    const bool done = QTest::qWaitFor(
        [this] { return m_actions.isEmpty() && !QApplication::activeModalWidget(); }, ms);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return done;
}

void ModalDriver::poll()
{
    if (m_current && !m_current->isVisible())
        m_current = nullptr;
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || modal == m_current || !modal->isVisible())
        return;
    m_current = modal;
    m_seen.append(QString::fromLatin1(modal->metaObject()->className()) + QLatin1Char(':') +
                  modal->windowTitle());
    if (m_actions.isEmpty()) {
        m_unexpected.append(m_seen.last());
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
    } else {
        const Action action = m_actions.takeFirst();
        action(modal);
    }
    // A window that closed at once may show again before the next look.
    if (m_current && !m_current->isVisible())
        m_current = nullptr;
}
