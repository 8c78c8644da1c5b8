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
  // The text's paragraphs (lines between newlines), each as its tab-separated cells.
  using TextCells = std::vector<std::vector<std::string>>;

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
  // The buttons' widths in pixels, the gap between two and the whole row's width.
  struct ButtonRow {
    std::vector<float> widths;
    float gap = 0.0f;
    float width = 0.0f;
  };

  // The steps of Layout, in pixels; `p` is the text size.
  ButtonRow MeasureButtons(const Font* font, float p) const;
  float NaturalWidth(const Font* font, const TextCells& cells, const std::vector<float>& columnX, float buttonsWidth,
                     float p) const;
  // Lays out the caption and the text lines `content` pixels wide from `pad` below the panel's
  // top; returns the bottom of the last line.
  float LayOutLines(const Font* font, const TextCells& cells, const std::vector<float>& columnX, float content,
                    float spacing, float pad);
  Line TabbedLine(const Font* font, const std::vector<std::string>& cells, const std::vector<float>& columnX,
                  float content, float baseline) const;
  // The text area and the buttons inside mBounds.
  void PlaceTextAndButtons(const ButtonRow& buttons, float pad, float gap, float buttonH);

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
