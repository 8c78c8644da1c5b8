// SPDX-License-Identifier: ISC
#pragma once

#include <string>

#include "graphics/IControl.h"

namespace plug::graphics {

// A line of text in the control's style over an optional background colour; takes no value.
class ITextControl : public IControl {
public:
  ITextControl(const IRECT& bounds, const char* str, const IText& text = IText(),
               const IColor& bgColor = IColor(0, 0, 0, 0));

  void SetStr(const char* str);
  const char* GetStr() const { return mStr.c_str(); }

  void Draw(IGraphics& g) override;

private:
  std::string mStr;
  IColor mBGColor;
};

} // namespace plug::graphics
