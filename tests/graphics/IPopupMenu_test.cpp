// SPDX-License-Identifier: ISC
// The menu model: items at positions, flags, check marks, the chosen index.

#include "graphics/IPopupMenu.h"

#include <gtest/gtest.h>

using plug::graphics::IPopupMenu;

TEST(IPopupMenu, ItemsGoWhereTheirPositionSays)
{
  IPopupMenu menu;
  EXPECT_EQ(menu.AddItem("b", 0), 0);
  EXPECT_EQ(menu.AddItem("d", 1), 1); // at the end
  EXPECT_EQ(menu.AddItem("a", 0), 0); // before the first
  EXPECT_EQ(menu.AddItem("c", 2), 2); // in between
  EXPECT_EQ(menu.AddItem("e", 99), 4); // beyond the end: appended
  EXPECT_EQ(menu.AddItem("f"), 5);
  EXPECT_EQ(menu.AddSeparator(), 6);
  ASSERT_EQ(menu.NItems(), 7);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(std::string(menu.GetItemText(i)), std::string(1, static_cast<char>('a' + i)));
  EXPECT_TRUE(menu.GetItem(6)->IsSeparator());
  EXPECT_EQ(menu.GetItem(7), nullptr);
  EXPECT_STREQ(menu.GetItemText(-1), "");
}

TEST(IPopupMenu, CheckMarksAndTheChosenItem)
{
  IPopupMenu menu;
  for (const char* t : {"1", "2", "3", "4"})
    menu.AddItem(t);
  menu.AddItem("5", -1, IPopupMenu::kChecked);
  EXPECT_TRUE(menu.IsItemChecked(4));
  menu.CheckItemAlone(1);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(menu.IsItemChecked(i), i == 1) << i;
  EXPECT_EQ(menu.GetItem(1)->flags, IPopupMenu::kChecked);
  menu.CheckItem(1, false);
  EXPECT_FALSE(menu.IsItemChecked(1));
  menu.CheckItem(42, true); // out of range: nothing

  EXPECT_EQ(menu.GetChosenItemIdx(), -1);
  menu.SetChosenItemIdx(3);
  EXPECT_EQ(menu.GetChosenItemIdx(), 3);
  menu.Clear();
  EXPECT_EQ(menu.NItems(), 0);
  EXPECT_EQ(menu.GetChosenItemIdx(), -1);
}
