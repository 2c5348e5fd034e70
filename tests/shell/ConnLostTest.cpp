// SPDX-License-Identifier: GPL-3.0-or-later
// The connection-lost prompt: its ten-second countdown that answers
// Continue by itself, and the ways the user answers first.

#include "ModalDriver.h"
#include "QtPrinters.h"
#include "upload/UConnLost.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

QPushButton *button(QWidget *dialog, const char *name)
{
    return dialog->findChild<QPushButton *>(QLatin1String(name));
}

} // namespace

TEST(ConnLost, CountsDownFromTenToZeroThenAnswersContinue)
{
    TfrmConnLost prompt;
    prompt.setTickIntervalForTest(3600 * 1000); // ticks come from the test only
    ModalDriver driver;
    QStringList captions;
    bool closedEarly = false;
    driver.expect([&](QWidget *) {
        captions.append(button(&prompt, "btnContinue")->text());
        for (int tick = 1; tick <= 10; ++tick) {
            closedEarly = closedEarly || !prompt.isVisible();
            prompt.tickForTest();
            captions.append(button(&prompt, "btnContinue")->text());
        }
    });
    EXPECT_EQ(prompt.ask(QStringLiteral("Соединение с Internet потеряно.")), 1);
    EXPECT_FALSE(closedEarly) << "the prompt stays until the tenth tick";
    QStringList expected;
    for (int n = 10; n >= 0; --n)
        expected.append(QStringLiteral("Продолжить [ %1 ]").arg(n));
    EXPECT_EQ(captions, expected);
    EXPECT_FALSE(prompt.countdownTimer()->isActive());
    EXPECT_FALSE(prompt.isVisible());

    // The next showing starts again at ten.
    QString second;
    driver.expect([&](QWidget *) {
        second = button(&prompt, "btnContinue")->text();
        button(&prompt, "btnContinue")->click();
    });
    EXPECT_EQ(prompt.ask(QStringLiteral("again")), 1);
    EXPECT_EQ(second, QStringLiteral("Продолжить [ 10 ]"));
    EXPECT_TRUE(driver.unexpected().isEmpty());
}

TEST(ConnLost, RealTimerAnswersContinueAfterTenTicks)
{
    TfrmConnLost prompt;
    EXPECT_EQ(prompt.countdownTimer()->interval(), 1000);
    prompt.setTickIntervalForTest(5);
    int ticks = 0;
    QObject::connect(prompt.countdownTimer(), &QTimer::timeout, [&] { ++ticks; });
    ModalDriver driver;
    driver.expect([](QWidget *) {}); // left alone
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(prompt.ask(QStringLiteral("left alone")), 1);
    EXPECT_EQ(ticks, 10);
    EXPECT_LT(clock.elapsed(), 5000);
}

// A prompt that waits for the user (a refused password) never answers by
// itself: no countdown runs, and the button shows none.
TEST(ConnLost, WaitingPromptHasNoCountdown)
{
    TfrmConnLost prompt;
    prompt.setTickIntervalForTest(5);
    ModalDriver driver;
    QString caption;
    bool counting = true;
    driver.expect([&](QWidget *) {
        caption = button(&prompt, "btnContinue")->text();
        counting = prompt.countdownTimer()->isActive();
        button(&prompt, "btnCancel")->click();
    });
    EXPECT_EQ(prompt.ask(QStringLiteral("530"), ContinuePrompt::Countdown::WaitForUser), 2);
    EXPECT_FALSE(counting);
    EXPECT_EQ(caption, QStringLiteral("Продолжить"));
}

TEST(ConnLost, CancelEscAndCloseBoxGiveTwoAndNoLaterTick)
{
    TfrmConnLost prompt;
    prompt.setTickIntervalForTest(5);
    int ticksAfterClose = 0;
    bool closed = false;
    QObject::connect(prompt.countdownTimer(), &QTimer::timeout, [&] {
        if (closed)
            ++ticksAfterClose;
    });
    ModalDriver driver;
    QString caption;
    driver.expect([&](QWidget *) {
        caption = button(&prompt, "btnContinue")->text();
        button(&prompt, "btnCancel")->click();
    });
    EXPECT_EQ(prompt.ask(QStringLiteral("cancel")), 2);
    closed = true;
    EXPECT_FALSE(prompt.countdownTimer()->isActive());
    const QString after = button(&prompt, "btnContinue")->text();
    QTest::qWait(100); // twenty intervals in which no tick may come
    EXPECT_EQ(ticksAfterClose, 0);
    EXPECT_EQ(button(&prompt, "btnContinue")->text(), after);
    closed = false;

    driver.expect([&](QWidget *) { QTest::keyClick(&prompt, Qt::Key_Escape); });
    EXPECT_EQ(prompt.ask(QStringLiteral("esc")), 2);
    driver.expect([&](QWidget *) { prompt.close(); });
    EXPECT_EQ(prompt.ask(QStringLiteral("close box")), 2);
    driver.expect([&](QWidget *) { QTest::keyClick(&prompt, Qt::Key_Return); });
    EXPECT_EQ(prompt.ask(QStringLiteral("enter")), 1) << "Continue is the default button";
    EXPECT_FALSE(prompt.countdownTimer()->isActive());
    EXPECT_TRUE(driver.unexpected().isEmpty());
}

TEST(ConnLost, LayoutKeepsTheMessageLineBreaks)
{
    TfrmConnLost prompt;
    EXPECT_EQ(prompt.windowTitle(), QStringLiteral("Внимание"));
    EXPECT_EQ(prompt.size(), QSize(352, 122));
    auto *text = prompt.findChild<QLabel *>(QStringLiteral("lblText"));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->text(),
              QStringLiteral("Соединение потеряно.\nВосстановите соединение и нажмите "
                             "\"продолжить\"\nили нажмите \"отмена\"."));
    EXPECT_TRUE(text->wordWrap());
    EXPECT_EQ(text->geometry(), QRect(64, 16, 281, 65));
    EXPECT_EQ(button(&prompt, "btnContinue")->geometry(), QRect(136, 88, 121, 25));
    EXPECT_EQ(button(&prompt, "btnCancel")->geometry(), QRect(264, 88, 81, 25));
    EXPECT_EQ(button(&prompt, "btnCancel")->text(), QStringLiteral("Отмена"));
    EXPECT_TRUE(button(&prompt, "btnContinue")->isDefault());
    auto *image = prompt.findChild<QLabel *>(QStringLiteral("Image2"));
    ASSERT_TRUE(image);
    EXPECT_FALSE(image->pixmap().isNull());

    ModalDriver driver;
    QString shown;
    driver.expect([&](QWidget *) {
        shown = text->text();
        button(&prompt, "btnCancel")->click();
    });
    prompt.ask(QStringLiteral("Время ожидания истекло.\r\nПроверьте соединение."));
    EXPECT_EQ(shown, QStringLiteral("Время ожидания истекло.\nПроверьте соединение."));
}
