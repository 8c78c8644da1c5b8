// SPDX-License-Identifier: ISC
#include "graphics/IPopupMenu.h"

namespace plug::graphics {

int IPopupMenu::AddItem(const char* text, int position, int flags)
{
  Item item{text ? text : "", flags};
  if (position < 0 || position >= NItems()) {
    mItems.push_back(std::move(item));
    return NItems() - 1;
  }
  mItems.insert(mItems.begin() + position, std::move(item));
  return position;
}

void IPopupMenu::Clear()
{
  mItems.clear();
  mChosenIdx = -1;
}

const IPopupMenu::Item* IPopupMenu::GetItem(int idx) const
{
  return idx >= 0 && idx < NItems() ? &mItems[static_cast<std::size_t>(idx)] : nullptr;
}

const char* IPopupMenu::GetItemText(int idx) const
{
  const Item* item = GetItem(idx);
  return item ? item->text.c_str() : "";
}

void IPopupMenu::CheckItem(int idx, bool checked)
{
  if (idx < 0 || idx >= NItems())
    return;
  int& flags = mItems[static_cast<std::size_t>(idx)].flags;
  flags = checked ? (flags | kChecked) : (flags & ~kChecked);
}

void IPopupMenu::CheckItemAlone(int idx)
{
  for (int i = 0; i < NItems(); ++i)
    CheckItem(i, i == idx);
}

bool IPopupMenu::IsItemChecked(int idx) const
{
  const Item* item = GetItem(idx);
  return item && item->IsChecked();
}

} // namespace plug::graphics
