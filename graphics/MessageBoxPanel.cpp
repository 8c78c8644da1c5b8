// SPDX-License-Identifier: ISC
#include "graphics/MessageBoxPanel.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

#include "graphics/CairoUtil.h"
#include "graphics/PanelStyle.h"
#include "graphics/UiText.h"
#include "graphics/Utf8.h"

namespace plug::graphics {

namespace {

constexpr float kShadowDepth = 6.0f; // pixels

std::vector<std::string> split(const std::string& text, char separator)
{
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == separator)
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

// The longest start of `word` (whole characters, at least one) that fits `width`.
std::size_t fittingPrefix(const Font* font, const std::string& word, float px, float width)
{
  std::size_t fits = 0;
  std::size_t pos = 0;
  bool done = false;
  forEachCodepoint(word, [&](char32_t, std::size_t bytes) {
    if (done)
      return;
    pos += bytes;
    if (fits == 0 || measureText(font, std::string_view(word).substr(0, pos), px) <= width)
      fits = pos;
    else
      done = true;
  });
  return fits;
}

// Greedy wrapping at spaces; a word wider than the line is broken between characters.
std::vector<std::string> wrap(const Font* font, const std::string& text, float px, float width)
{
  std::vector<std::string> lines;
  std::string line;
  for (std::string word : split(text, ' ')) {
    const std::string candidate = line.empty() ? word : line + " " + word;
    if (measureText(font, candidate, px) <= width) {
      line = candidate;
      continue;
    }
    if (!line.empty())
      lines.push_back(line);
    while (!word.empty() && measureText(font, word, px) > width) {
      const std::size_t cut = fittingPrefix(font, word, px, width);
      lines.push_back(word.substr(0, cut));
      word.erase(0, cut);
    }
    line = word;
  }
  lines.push_back(line);
  return lines;
}

// Each paragraph's tab-separated cells.
MessageBoxPanel::TextCells tabCells(const std::string& text)
{
  MessageBoxPanel::TextCells cells;
  for (const std::string& paragraph : split(text, '\n'))
    cells.push_back(split(paragraph, '\t'));
  return cells;
}

// Tab columns shared by all lines: column c + 1 starts after the widest cell c of the lines that
// go on past it, and at least a tab's width after column c.
std::vector<float> tabColumns(const Font* font, const MessageBoxPanel::TextCells& cells, float p)
{
  std::size_t maxCells = 1;
  for (const auto& line : cells)
    maxCells = std::max(maxCells, line.size());
  const float minTab = std::round(1.5f * p);
  const float cellGap = std::round(0.6f * p);
  std::vector<float> columnX(maxCells, 0.0f);
  for (std::size_t c = 0; c + 1 < maxCells; ++c) {
    float widest = 0.0f;
    for (const auto& line : cells)
      if (line.size() > c + 1)
        widest = std::max(widest, measureText(font, line[c], p));
    columnX[c + 1] = columnX[c] + std::max(widest + cellGap, minTab);
  }
  return columnX;
}

} // namespace

MessageBoxPanel::MessageBoxPanel(std::string text, std::string caption, EMsgBoxType type, IMsgBoxCompletion completion)
    : mText(std::move(text)), mCaption(std::move(caption)), mType(type), mCompletion(std::move(completion))
{
  if (mType == EMsgBoxType::kYesNo) {
    mButtons.push_back({"No", EMsgBoxResult::kNo, IRECT()});
    mButtons.push_back({"Yes", EMsgBoxResult::kYes, IRECT()});
  } else {
    mButtons.push_back({"OK", EMsgBoxResult::kOK, IRECT()});
  }
}

void MessageBoxPanel::Layout(const Font* font, float textPx, int windowW, int windowH)
{
  const float p = textPx;
  mTextPx = p;
  mCaptionPx = std::round(p * 1.15f);
  mRadius = std::round(p * 0.45f);
  const float margin = static_cast<float>(panel::kWindowMargin);
  const float availW = std::max(1.0f, static_cast<float>(windowW) - 2.0f * margin);
  const float availH = std::max(1.0f, static_cast<float>(windowH) - 2.0f * margin);

  const ButtonRow buttons = MeasureButtons(font, p);
  const TextCells cells = tabCells(mText);
  const std::vector<float> columnX = tabColumns(font, cells, p);
  const float natural = NaturalWidth(font, cells, columnX, buttons.width, p);

  // From the loosest spacing to the tightest, which is taken whether or not everything fits.
  for (const float spacing : {1.0f, 0.8f, 0.6f}) {
    const float pad = std::round(p * 1.1f * spacing);
    const float maxContent = std::max(1.0f, std::min(availW - 2.0f * pad, std::round(34.0f * p)));
    const float content = std::clamp(natural, std::min(std::round(16.0f * p), maxContent), maxContent);
    const float textBottom = LayOutLines(font, cells, columnX, content, spacing, pad);
    const float buttonH = std::round(p * (spacing < 1.0f ? 1.7f : 2.0f));
    const float gap = std::round(p * 1.0f * spacing);
    const float h = std::min(availH, textBottom + gap + buttonH + pad);
    const float w = std::min(availW, content + 2.0f * pad);
    if (textBottom + gap + buttonH + pad <= availH || spacing < 0.7f) {
      const float x0 = std::round(0.5f * (static_cast<float>(windowW) - w));
      const float y0 = std::round(0.5f * (static_cast<float>(windowH) - h));
      mBounds = IRECT::MakeXYWH(x0, y0, w, h);
      PlaceTextAndButtons(buttons, pad, gap, buttonH);
      break;
    }
  }
}

MessageBoxPanel::ButtonRow MessageBoxPanel::MeasureButtons(const Font* font, float p) const
{
  ButtonRow row;
  for (const Button& b : mButtons) {
    row.widths.push_back(std::max(std::round(measureText(font, b.label, p) + 2.4f * p), std::round(5.0f * p)));
    row.width += row.widths.back();
  }
  row.gap = std::round(0.6f * p);
  row.width += row.gap * static_cast<float>(mButtons.size() - 1);
  return row;
}

float MessageBoxPanel::NaturalWidth(const Font* font, const TextCells& cells, const std::vector<float>& columnX,
                                    float buttonsWidth, float p) const
{
  // What the content asks for; Layout keeps it within a comfortable measure and the window.
  float natural = std::max(measureText(font, mCaption, mCaptionPx), buttonsWidth);
  for (const auto& line : cells)
    natural = std::max(natural, columnX[line.size() - 1] + measureText(font, line.back(), p));
  return natural;
}

float MessageBoxPanel::LayOutLines(const Font* font, const TextCells& cells, const std::vector<float>& columnX,
                                   float content, float spacing, float pad)
{
  const float p = mTextPx;
  mLines.clear();
  float y = pad;
  const float captionLineH = std::round(mCaptionPx * 1.3f * std::max(spacing, 0.8f));
  if (!mCaption.empty()) {
    for (const std::string& text : wrap(font, mCaption, mCaptionPx, content)) {
      y += captionLineH;
      mLines.push_back({{{0.0f, text}}, y - 0.3f * captionLineH, true});
    }
    y += std::round(0.7f * p * spacing);
  }
  const float lineH = std::round(p * 1.45f * std::max(spacing, 0.85f));
  const float blankH = std::round(p * 0.75f * spacing);
  for (const auto& line : cells) {
    if (line.size() == 1 && line[0].empty()) {
      y += blankH;
      continue;
    }
    if (line.size() == 1) {
      for (const std::string& text : wrap(font, line[0], p, content)) {
        y += lineH;
        mLines.push_back({{{0.0f, text}}, y - 0.3f * lineH, false});
      }
      continue;
    }
    y += lineH;
    mLines.push_back(TabbedLine(font, line, columnX, content, y - 0.3f * lineH));
  }
  return y;
}

MessageBoxPanel::Line MessageBoxPanel::TabbedLine(const Font* font, const std::vector<std::string>& cells,
                                                  const std::vector<float>& columnX, float content,
                                                  float baseline) const
{
  // Cells that start beyond the text's width are left out; the last one is cut to fit.
  Line laid{{}, baseline, false};
  for (std::size_t c = 0; c < cells.size(); ++c) {
    const bool last = c + 1 == cells.size();
    const float room = content - columnX[c];
    if (room <= 0.0f)
      break;
    laid.pieces.push_back({columnX[c], last ? fitText(font, cells[c], mTextPx, room) : cells[c]});
  }
  return laid;
}

void MessageBoxPanel::PlaceTextAndButtons(const ButtonRow& buttons, float pad, float gap, float buttonH)
{
  // The buttons sit in the panel's bottom right corner, right to left from the default one.
  const float buttonsTop = mBounds.B - pad - buttonH;
  mTextArea = IRECT(mBounds.L + pad, mBounds.T, mBounds.R - pad, buttonsTop - 0.5f * gap);
  float right = mBounds.R - pad;
  for (std::size_t i = mButtons.size(); i-- > 0;) {
    mButtons[i].rect = IRECT(right - buttons.widths[i], buttonsTop, right, buttonsTop + buttonH);
    right -= buttons.widths[i] + buttons.gap;
  }
}

IRECT MessageBoxPanel::ButtonRect(int idx) const
{
  return idx >= 0 && idx < NButtons() ? mButtons[static_cast<std::size_t>(idx)].rect : IRECT();
}

const char* MessageBoxPanel::ButtonLabel(int idx) const
{
  return idx >= 0 && idx < NButtons() ? mButtons[static_cast<std::size_t>(idx)].label : "";
}

EMsgBoxResult MessageBoxPanel::ButtonResult(int idx) const
{
  return idx >= 0 && idx < NButtons() ? mButtons[static_cast<std::size_t>(idx)].result : CancelResult();
}

int MessageBoxPanel::ButtonAt(float x, float y) const
{
  for (int i = 0; i < NButtons(); ++i)
    if (mButtons[static_cast<std::size_t>(i)].rect.Contains(x, y))
      return i;
  return -1;
}

EMsgBoxResult MessageBoxPanel::DefaultResult() const
{
  return mType == EMsgBoxType::kYesNo ? EMsgBoxResult::kYes : EMsgBoxResult::kOK;
}

EMsgBoxResult MessageBoxPanel::CancelResult() const
{
  return mType == EMsgBoxType::kYesNo ? EMsgBoxResult::kNo : EMsgBoxResult::kOK;
}

bool MessageBoxPanel::SetHover(int idx)
{
  if (idx == mHover)
    return false;
  mHover = idx;
  return true;
}

bool MessageBoxPanel::SetPressed(int idx)
{
  if (idx == mPressed)
    return false;
  mPressed = idx;
  return true;
}

std::vector<std::string> MessageBoxPanel::Lines() const
{
  std::vector<std::string> out;
  for (const Line& line : mLines) {
    if (line.caption)
      continue;
    std::string joined;
    for (std::size_t i = 0; i < line.pieces.size(); ++i)
      joined += (i ? "\t" : "") + line.pieces[i].text;
    out.push_back(joined);
  }
  return out;
}

bool MessageBoxPanel::AllLinesShown() const
{
  return mLines.empty() || mBounds.T + mLines.back().baseline + 0.3f * mTextPx <= mTextArea.B;
}

void MessageBoxPanel::Draw(cairo_t* cr, const Font* font, int windowW, int windowH) const
{
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  setSourceColor(cr, panel::kDim);
  cairo_rectangle(cr, 0, 0, windowW, windowH);
  cairo_fill(cr);

  const IRECT& b = mBounds;
  dropShadow(cr, b.L, b.T, b.W(), b.H(), mRadius, kShadowDepth);
  roundedRectangle(cr, b.L, b.T, b.W(), b.H(), mRadius);
  setSourceColor(cr, panel::kBoxBackground);
  cairo_fill(cr);

  for (const Line& line : mLines) {
    const float px = line.caption ? mCaptionPx : mTextPx;
    if (b.T + line.baseline + 0.3f * px > mTextArea.B)
      break;
    setSourceColor(cr, line.caption ? panel::kCaption : panel::kBodyText);
    for (const Piece& piece : line.pieces)
      drawText(cr, font, piece.text, mTextArea.L + piece.x, b.T + line.baseline, px);
  }

  for (int i = 0; i < NButtons(); ++i) {
    const Button& button = mButtons[static_cast<std::size_t>(i)];
    const bool isDefault = button.result == DefaultResult();
    const bool lit = i == mHover || i == mPressed;
    const IRECT& r = button.rect;
    roundedRectangle(cr, r.L + 0.5, r.T + 0.5, r.W() - 1.0, r.H() - 1.0, mRadius * 0.8);
    if (isDefault) {
      setSourceColor(cr, lit ? panel::kDefaultButtonHover : panel::kDefaultButton);
      cairo_fill(cr);
    } else {
      setSourceColor(cr, lit ? panel::kButtonHover : panel::kButton);
      cairo_fill_preserve(cr);
      setSourceColor(cr, panel::kButtonBorder);
      cairo_set_line_width(cr, 1.0);
      cairo_stroke(cr);
    }
    setSourceColor(cr, isDefault ? panel::kHighlightText : panel::kText);
    const float w = measureText(font, button.label, mTextPx);
    drawText(cr, font, button.label, r.MW() - 0.5f * w, r.MH() + 0.5f * capHeight(font, mTextPx), mTextPx);
  }
  cairo_restore(cr);
}

} // namespace plug::graphics
