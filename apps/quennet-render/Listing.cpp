// SPDX-License-Identifier: ISC
#include "apps/quennet-render/Listing.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "framework/TextString.h"

namespace render {

namespace {

using Row = std::vector<std::string>;

std::string number(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g", value == 0.0 ? 0.0 : value); // no "-0"
  return text;
}

const char* kindName(plug::IParam::EParamType type)
{
  switch (type) {
    case plug::IParam::kTypeBool: return "bool";
    case plug::IParam::kTypeInt: return "int";
    case plug::IParam::kTypeEnum: return "enum";
    case plug::IParam::kTypeDouble: return "double";
    case plug::IParam::kTypeNone: break;
  }
  return "";
}

// The value as the plug-in shows it, with the parameter's label when it has one.
std::string shown(const plug::IParam& param, double value)
{
  plug::TextString text;
  param.GetDisplay(value, false, text);
  std::string result = text.Get();
  if (param.GetLabel()[0] != '\0' && param.NDisplayTexts() == 0)
    result += std::string(" ") + param.GetLabel();
  return result;
}

bool named(const plug::IParam& param)
{
  return param.Type() != plug::IParam::kTypeNone && param.GetName()[0] != '\0';
}

std::string table(const Row& header, const std::vector<Row>& rows, bool markdown)
{
  std::string out;
  if (markdown) {
    auto line = [&](const Row& row) {
      out += "|";
      for (const std::string& cell : row)
        out += " " + cell + " |";
      out += "\n";
    };
    line(header);
    out += "|";
    for (size_t c = 0; c < header.size(); ++c)
      out += "---|";
    out += "\n";
    for (const Row& row : rows)
      line(row);
    return out;
  }

  // Plain text: columns padded to the widest cell, counted in characters (the texts are UTF-8).
  auto width = [](const std::string& s) {
    return static_cast<size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
  };
  std::vector<size_t> widths(header.size(), 0);
  for (size_t c = 0; c < header.size(); ++c) {
    widths[c] = width(header[c]);
    for (const Row& row : rows)
      widths[c] = std::max(widths[c], width(row[c]));
  }
  auto line = [&](const Row& row) {
    std::string text;
    for (size_t c = 0; c < row.size(); ++c) {
      text += row[c];
      if (c + 1 < row.size())
        text += std::string(widths[c] - width(row[c]) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ')
      text.pop_back();
    out += text + "\n";
  };
  line(header);
  for (const Row& row : rows)
    line(row);
  return out;
}

} // namespace

std::string listParameters(const plug::IPlugin& plugin, bool markdown)
{
  std::vector<Row> rows;
  for (int i = 0; i < plugin.NParams(); ++i) {
    const plug::IParam& param = *plugin.GetParam(i);
    if (!named(param))
      continue;
    std::string texts;
    for (int t = 0; t < param.NDisplayTexts(); ++t) {
      double value = 0.0;
      const char* text = param.GetDisplayTextAtIdx(t, &value);
      texts += (t ? ", " : "") + number(value) + " " + text;
    }
    rows.push_back({std::to_string(i), param.GetName(), kindName(param.Type()),
                    number(param.GetMin()) + " … " + number(param.GetMax()), number(param.GetDefault()),
                    shown(param, param.GetDefault()), texts});
  }
  return table({"#", "Name", "Kind", "Range", "Default", "Shown as", "Display texts"}, rows, markdown);
}

std::string listPresets(plug::IPlugin& plugin, bool markdown)
{
  std::vector<Row> rows;
  for (int p = 0; p < plugin.NPresets(); ++p) {
    plugin.RestorePreset(p);
    std::string differences;
    for (int i = 0; i < plugin.NParams(); ++i) {
      const plug::IParam& param = *plugin.GetParam(i);
      if (!named(param) || param.GetValue() == param.GetDefault())
        continue;
      differences +=
        (differences.empty() ? "" : ", ") + std::string(param.GetName()) + " " + shown(param, param.GetValue());
    }
    rows.push_back({std::to_string(p), plugin.GetPresetName(p), differences.empty() ? "(all defaults)" : differences});
  }
  return table({"#", "Name", "Differs from the defaults in"}, rows, markdown);
}

} // namespace render
