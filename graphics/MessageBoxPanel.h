// SPDX-License-Identifier: ISC
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "graphics/IGraphicsTypes.h"
#include "graphics/IPlatformView.h"

typedef struct _cairo cairo_t;

namespace plug::graphics {

class Font;

using IMsgBoxCompletion = std::function<void(EMsgBoxResult)>;

// A modal message box as the context draws it over the dimmed editor, in pixels: caption, text and
// buttons in a panel centred in the window. Newlines break lines; tabs align the text after them in
// columns shared by all lines (so "\tName: \tvalue" lines line up); long lines wrap at spaces, and
// words too long for a line break anywhere. The buttons stay visible however little room there is.
class MessageBoxPanel {
public:
  MessageBoxPanel(std::string text, std::string caption, EMsgBoxType type, IMsgBoxCompletion completion);

  void Layout(const Font* font, float textPx, int windowW, int windowH);

  const IRECT& Bounds() const { return mBounds; }
  int NButtons() const { return static_cast<int>(mButtons.size()); }
  IRECT ButtonRect(int idx) const;
  const char* ButtonLabel(int idx) const;
  EMsgBoxResult ButtonResult(int idx) const;
  // The button at a point, or -1.
  int ButtonAt(float x, float y) const;
  // Return answers OK or Yes; Escape answers OK or No.
  EMsgBoxResult DefaultResult() const;
  EMsgBoxResult CancelResult() const;

  // The highlighted and the pressed button (-1: none); true when it changed.
  bool SetHover(int idx);
  bool SetPressed(int idx);
  int GetPressed() const { return mPressed; }

  // The laid-out text lines, as drawn (for tests): tab-separated pieces joined by '\t'.
  std::vector<std::string> Lines() const;
  // False when the window is too small for all lines (the lowest are left out).
  bool AllLinesShown() const;
  float TextPx() const { return mTextPx; }

  // Dims the whole window, then draws the panel.
  void Draw(cairo_t* cr, const Font* font, int windowW, int windowH) const;

  const std::string& GetText() const { return mText; }
  const std::string& GetCaption() const { return mCaption; }
  EMsgBoxType GetType() const { return mType; }
  IMsgBoxCompletion TakeCompletion() { return std::move(mCompletion); }

private:
  struct Piece {
    float x; // from the left of the text area
    std::string text;
  };
  struct Line {
    std::vector<Piece> pieces;
    float baseline; // from the top of the panel
    bool caption;
  };
  struct Button {
    const char* label;
    EMsgBoxResult result;
    IRECT rect;
  };

  std::string mText;
  std::string mCaption;
  EMsgBoxType mType;
  IMsgBoxCompletion mCompletion;

  IRECT mBounds;
  IRECT mTextArea; // where lines may be drawn; lower lines that do not fit are left out
  std::vector<Line> mLines;
  std::vector<Button> mButtons;
  float mTextPx = 12.0f;
  float mCaptionPx = 14.0f;
  float mRadius = 4.0f;
  int mHover = -1;
  int mPressed = -1;
};

} // namespace plug::graphics
