// SPDX-License-Identifier: GPL-3.0-or-later
// The browser's path arithmetic: where a listing step goes and what OK returns.

#include "folders/FolderPath.h"

#include <gtest/gtest.h>

using folders::chosenPath;
using folders::displayPath;
using folders::nextPath;

TEST(FolderPath, StartFolderDecidesTheFirstListing)
{
    // The current path is empty when the dialog opens.
    EXPECT_EQ(nextPath("", ""), "/");
    EXPECT_EQ(nextPath("", "/"), "/");
    EXPECT_EQ(nextPath("", ".."), "/");
    EXPECT_EQ(nextPath("", "pub"), "/pub");
    EXPECT_EQ(nextPath("", "/pub"), "/pub");
    EXPECT_EQ(nextPath("", "/pub/"), "/pub/"); // the trailing "/" stays
    EXPECT_EQ(nextPath("", "pub/incoming"), "/pub/incoming");
    EXPECT_EQ(nextPath("", " pub "), "/ pub "); // targets are never trimmed
}

TEST(FolderPath, EnteringAFolderJoinsItsName)
{
    EXPECT_EQ(nextPath("/", "pub"), "/pub");
    EXPECT_EQ(nextPath("/pub", "incoming"), "/pub/incoming");
    EXPECT_EQ(nextPath("/pub/", "x"), "/pub//x");
    EXPECT_EQ(nextPath("/pub", "My Documents"), "/pub/My Documents");
    EXPECT_EQ(nextPath("/pub", "Документы"), "/pub/Документы");
    // A folder with an empty name adds a "/" below a folder and leaves the root as it is.
    EXPECT_EQ(nextPath("/pub", ""), "/pub/");
    EXPECT_EQ(nextPath("/", ""), "/");
    // "." is a name like any other.
    EXPECT_EQ(nextPath("/pub", "."), "/pub/.");
}

TEST(FolderPath, GoingUpCutsAtTheLastSlash)
{
    EXPECT_EQ(nextPath("/pub/incoming", ".."), "/pub");
    EXPECT_EQ(nextPath("/pub", ".."), "/");
    EXPECT_EQ(nextPath("/", ".."), "/");
    EXPECT_EQ(nextPath("/pub/", ".."), "/pub");
    EXPECT_EQ(nextPath("/pub//x", ".."), "/pub/");
    EXPECT_EQ(nextPath("/a b/c d", ".."), "/a b");
    // Only the target ".." goes up; a ".." inside a longer target is a name.
    EXPECT_EQ(nextPath("/pub", "../x"), "/pub/../x");
}

TEST(FolderPath, OkReturnsThePathOrTheSelectedEntry)
{
    EXPECT_EQ(chosenPath("/pub", std::nullopt), "/pub");
    EXPECT_EQ(chosenPath("/pub", std::string("incoming")), "/pub/incoming");
    EXPECT_EQ(chosenPath("/", std::string("pub")), "//pub");
    EXPECT_EQ(chosenPath("/pub", std::string("..")), "/pub/..");
    EXPECT_EQ(chosenPath("/", std::nullopt), "/");
    // Before any listing has connected the path is empty, and so is the result.
    EXPECT_EQ(chosenPath("", std::nullopt), "");
}

TEST(FolderPath, DisplayDecodesEachPartOnItsOwn)
{
    // A UTF-8 start folder with a Windows-1251 folder name below it.
    EXPECT_EQ(displayPath("/Документы/\xcf\xe0\xef\xea\xe0"), "/Документы/Папка");
    EXPECT_EQ(displayPath("//pub/"), "//pub/");
    EXPECT_EQ(displayPath(""), "");
}
