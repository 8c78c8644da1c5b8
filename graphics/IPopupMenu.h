// SPDX-License-Identifier: ISC
#pragma once

#include <string>
#include <vector>

namespace plug::graphics {

// The items of a pop-up menu and, after it closed, the chosen one. The context draws and runs the
// menu (IGraphics::CreatePopupMenu); an item's index is its position in the list.
class IPopupMenu {
public:
  enum EItemFlags {
    kNoFlags = 0,
    kChecked = 4, // shows a check mark
    kSeparator = 8, // a dividing line; cannot be chosen
  };

  struct Item {
    std::string text;
    int flags = kNoFlags;

    bool IsChecked() const { return (flags & kChecked) != 0; }
    bool IsSeparator() const { return (flags & kSeparator) != 0; }
  };

  explicit IPopupMenu(const char* title = "") : mTitle(title ? title : "") {}

  // Inserts at `position` (0 … NItems(); anything else appends). Returns the item's index.
  int AddItem(const char* text, int position = -1, int flags = kNoFlags);
  int AddSeparator(int position = -1) { return AddItem("", position, kSeparator); }
  void Clear();

  int NItems() const { return static_cast<int>(mItems.size()); }
  // Null for an index out of range.
  const Item* GetItem(int idx) const;
  const char* GetItemText(int idx) const;
  void CheckItem(int idx, bool checked);
  // Checks one item and unchecks all others.
  void CheckItemAlone(int idx);
  bool IsItemChecked(int idx) const;

  // -1 while nothing is chosen.
  int GetChosenItemIdx() const { return mChosenIdx; }
  void SetChosenItemIdx(int idx) { mChosenIdx = idx; }

  const std::string& GetTitle() const { return mTitle; }

private:
  std::string mTitle;
  std::vector<Item> mItems;
  int mChosenIdx = -1;
};

} // namespace plug::graphics
