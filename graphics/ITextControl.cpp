// SPDX-License-Identifier: ISC
#include "graphics/ITextControl.h"

#include "graphics/IGraphics.h"

namespace plug::graphics {

ITextControl::ITextControl(const IRECT& bounds, const char* str, const IText& text, const IColor& bgColor)
    : IControl(bounds), mStr(str ? str : ""), mBGColor(bgColor)
{
  mText = text;
}

void ITextControl::SetStr(const char* str)
{
  const std::string next = str ? str : "";
  if (next != mStr) {
    mStr = next;
    SetDirty(false);
  }
}

void ITextControl::Draw(IGraphics& g)
{
  if (mBGColor.A > 0)
    g.FillRect(mBGColor, GetRECT());
  g.DrawText(mText, mStr.c_str(), GetRECT(), &mBlend);
}

} // namespace plug::graphics
