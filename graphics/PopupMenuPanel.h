// SPDX-License-Identifier: ISC
#pragma once

#include <vector>

#include "graphics/IGraphicsTypes.h"
#include "graphics/IPlatformView.h"

typedef struct _cairo cairo_t;

namespace plug::graphics {

class Font;
class IControl;
class IPopupMenu;

// An open pop-up menu as the context draws it over the editor, in pixels: placed at its anchor and
// kept inside the window (flipped to the other side of the anchor, then shifted, at the edges); a
// list too long for the window's height is split into columns, and items too wide for its width are
// shortened with an ellipsis.
class PopupMenuPanel {
public:
  // `anchor` in pixels: the menu opens below and to the right of it where there is room.
  PopupMenuPanel(IControl& control, IPopupMenu& menu, int valIdx, const IRECT& anchor);

  // Places the items for a window of w × h pixels and text `textPx` pixels high.
  void Layout(const Font* font, float textPx, int windowW, int windowH);
  void SetAnchor(const IRECT& anchor) { mAnchor = anchor; }

  // The menu's body, and the area its drawing covers (shadow included), in pixels.
  const IRECT& Bounds() const { return mBounds; }
  PixelRect DrawArea() const;
  bool Contains(float x, float y) const { return mBounds.Contains(x, y); }
  // The item that can be chosen at a point, or -1 (outside, or on a separator).
  int ItemAt(float x, float y) const;
  // Where item `idx` is drawn, pixels (empty for an index out of range).
  IRECT ItemRect(int idx) const;
  int NColumns() const { return mColumns; }
  float TextPx() const { return mTextPx; }

  // The highlighted item (-1: none); true when it changed.
  bool SetHover(int idx);
  int GetHover() const { return mHover; }

  void Draw(cairo_t* cr, const Font* font) const;

  IControl& Control() const { return mControl; }
  IPopupMenu& Menu() const { return mMenu; }
  int ValIdx() const { return mValIdx; }

private:
  IControl& mControl;
  IPopupMenu& mMenu;
  int mValIdx;
  IRECT mAnchor;

  IRECT mBounds;
  std::vector<IRECT> mItemRects; // per item, pixels
  std::vector<float> mColumnLefts;
  int mColumns = 1;
  float mTextPx = 12.0f;
  float mGutter = 0.0f; // room for the check mark, left of the text
  float mRightPadding = 0.0f;
  float mRadius = 0.0f;
  int mHover = -1;
};

} // namespace plug::graphics
