// SPDX-License-Identifier: GPL-3.0-or-later
// GUI tests need a QApplication before any widget exists.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
