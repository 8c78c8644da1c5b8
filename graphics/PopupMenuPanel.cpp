// SPDX-License-Identifier: ISC
#include "graphics/PopupMenuPanel.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

#include "graphics/CairoUtil.h"
#include "graphics/IPopupMenu.h"
#include "graphics/PanelStyle.h"
#include "graphics/UiText.h"

namespace plug::graphics {

namespace {

constexpr float kShadowDepth = 4.0f; // pixels

// A tick in the square of side `size` with its top-left corner at (x, y).
void drawCheckMark(cairo_t* cr, float x, float y, float size)
{
  cairo_save(cr);
  cairo_set_line_width(cr, std::max(1.5, size * 0.16));
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_move_to(cr, x + size * 0.08, y + size * 0.55);
  cairo_line_to(cr, x + size * 0.38, y + size * 0.85);
  cairo_line_to(cr, x + size * 0.95, y + size * 0.15);
  cairo_stroke(cr);
  cairo_restore(cr);
}

} // namespace

PopupMenuPanel::PopupMenuPanel(IControl& control, IPopupMenu& menu, int valIdx, const IRECT& anchor)
    : mControl(control), mMenu(menu), mValIdx(valIdx), mAnchor(anchor)
{
}

void PopupMenuPanel::Layout(const Font* font, float textPx, int windowW, int windowH)
{
  mTextPx = textPx;
  const float itemH = std::round(textPx * 1.7f);
  const float separatorH = std::round(textPx * 0.7f);
  const float padV = std::round(textPx * 0.35f);
  mGutter = std::round(textPx * 1.5f);
  mRightPadding = std::round(textPx * 1.1f);
  mRadius = std::round(textPx * 0.35f);
  const float margin = static_cast<float>(panel::kWindowMargin);
  const float availW = std::max(1.0f, static_cast<float>(windowW) - 2.0f * margin);
  const float availH = std::max(itemH, static_cast<float>(windowH) - 2.0f * margin - 2.0f * padV);

  const int n = mMenu.NItems();
  auto heightOf = [&](int i) { return mMenu.GetItem(i)->IsSeparator() ? separatorH : itemH; };

  // Fewest columns whose every column fits the window's height; items are split evenly by count.
  std::vector<int> columnOf(static_cast<std::size_t>(n), 0);
  mColumns = 1;
  for (int columns = 1; columns <= std::max(1, n); ++columns) {
    const int perColumn = (n + columns - 1) / std::max(1, columns);
    bool fits = true;
    for (int c = 0; c < columns && fits; ++c) {
      float h = 0.0f;
      for (int i = c * perColumn; i < std::min(n, (c + 1) * perColumn); ++i)
        h += heightOf(i);
      fits = h <= availH;
    }
    mColumns = columns;
    if (fits)
      break;
  }
  const int perColumn = std::max(1, (n + mColumns - 1) / mColumns);

  float textW = 0.0f;
  for (int i = 0; i < n; ++i)
    textW = std::max(textW, measureText(font, mMenu.GetItemText(i), textPx));
  float columnW = std::ceil(mGutter + textW + mRightPadding);
  columnW = std::max(columnW, std::round(textPx * 5.0f));
  columnW = std::min(columnW, std::floor((availW - 2.0f) / static_cast<float>(mColumns)));

  float columnsH = 0.0f;
  for (int c = 0; c < mColumns; ++c) {
    float h = 0.0f;
    for (int i = c * perColumn; i < std::min(n, (c + 1) * perColumn); ++i)
      h += heightOf(i);
    columnsH = std::max(columnsH, h);
  }
  const float w = columnW * static_cast<float>(mColumns) + 2.0f;
  const float h = columnsH + 2.0f * padV;

  // Below and right of the anchor; flipped to its other side at an edge; then kept inside.
  float x = mAnchor.L;
  if (x + w > static_cast<float>(windowW) - margin)
    x = mAnchor.R - w;
  x = std::clamp(x, margin, std::max(margin, static_cast<float>(windowW) - margin - w));
  float y = mAnchor.B;
  if (y + h > static_cast<float>(windowH) - margin)
    y = mAnchor.T - h;
  y = std::clamp(y, margin, std::max(margin, static_cast<float>(windowH) - margin - h));
  x = std::round(x);
  y = std::round(y);
  mBounds = IRECT::MakeXYWH(x, y, w, h);

  mItemRects.assign(static_cast<std::size_t>(n), IRECT());
  mColumnLefts.clear();
  for (int c = 0; c < mColumns; ++c) {
    const float left = x + 1.0f + columnW * static_cast<float>(c);
    mColumnLefts.push_back(left);
    float top = y + padV;
    for (int i = c * perColumn; i < std::min(n, (c + 1) * perColumn); ++i) {
      mItemRects[static_cast<std::size_t>(i)] = IRECT::MakeXYWH(left, top, columnW, heightOf(i));
      top += heightOf(i);
    }
  }
  if (mHover >= n)
    mHover = -1;
}

PixelRect PopupMenuPanel::DrawArea() const
{
  const IRECT area = mBounds.GetPadded(kShadowDepth + 2.0f).GetOutside();
  return {static_cast<int>(area.L), static_cast<int>(area.T), static_cast<int>(area.W()), static_cast<int>(area.H())};
}

int PopupMenuPanel::ItemAt(float x, float y) const
{
  for (int i = 0; i < static_cast<int>(mItemRects.size()); ++i) {
    if (mItemRects[static_cast<std::size_t>(i)].Contains(x, y)) {
      const IPopupMenu::Item* item = mMenu.GetItem(i);
      return item && !item->IsSeparator() ? i : -1;
    }
  }
  return -1;
}

IRECT PopupMenuPanel::ItemRect(int idx) const
{
  return idx >= 0 && idx < static_cast<int>(mItemRects.size()) ? mItemRects[static_cast<std::size_t>(idx)] : IRECT();
}

bool PopupMenuPanel::SetHover(int idx)
{
  if (idx == mHover)
    return false;
  mHover = idx;
  return true;
}

void PopupMenuPanel::Draw(cairo_t* cr, const Font* font) const
{
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  const IRECT& b = mBounds;
  dropShadow(cr, b.L, b.T, b.W(), b.H(), mRadius, kShadowDepth);
  roundedRectangle(cr, b.L, b.T, b.W(), b.H(), mRadius);
  setSourceColor(cr, panel::kMenuBackground);
  cairo_fill_preserve(cr);
  cairo_set_line_width(cr, 1.0);
  setSourceColor(cr, panel::kMenuBorder);
  cairo_stroke(cr);

  // Thin lines between columns.
  setSourceColor(cr, panel::kSeparator);
  for (std::size_t c = 1; c < mColumnLefts.size(); ++c) {
    cairo_move_to(cr, mColumnLefts[c] - 0.5, b.T + mRadius);
    cairo_line_to(cr, mColumnLefts[c] - 0.5, b.B - mRadius);
    cairo_stroke(cr);
  }

  const float inset = std::max(2.0f, std::round(mTextPx * 0.25f));
  const int n = std::min(mMenu.NItems(), static_cast<int>(mItemRects.size()));
  for (int i = 0; i < n; ++i) {
    const IPopupMenu::Item* item = mMenu.GetItem(i);
    const IRECT& r = mItemRects[static_cast<std::size_t>(i)];
    if (item->IsSeparator()) {
      setSourceColor(cr, panel::kSeparator);
      const double y = std::floor(r.MH()) + 0.5;
      cairo_move_to(cr, r.L + inset * 2.0f, y);
      cairo_line_to(cr, r.R - inset * 2.0f, y);
      cairo_stroke(cr);
      continue;
    }
    const bool hover = i == mHover;
    if (hover) {
      setSourceColor(cr, panel::kHighlight);
      roundedRectangle(cr, r.L + inset, r.T + 1.0f, r.W() - 2.0f * inset, r.H() - 2.0f, mRadius * 0.7f);
      cairo_fill(cr);
    }
    setSourceColor(cr, hover ? panel::kHighlightText : panel::kText);
    const float baseline = r.MH() + 0.5f * capHeight(font, mTextPx);
    if (item->IsChecked()) {
      const float size = std::round(mTextPx * 0.72f);
      drawCheckMark(cr, r.L + 0.5f * (mGutter - size) + inset * 0.5f,
                    baseline - capHeight(font, mTextPx) * 0.5f - size * 0.5f, size);
    }
    const float maxText = r.W() - mGutter - mRightPadding * 0.5f;
    drawText(cr, font, fitText(font, item->text, mTextPx, maxText), r.L + mGutter, baseline, mTextPx);
  }
  cairo_restore(cr);
}

} // namespace plug::graphics
