// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "framework/TextString.h"

namespace plug {

// One automatable plug-in parameter: kind, range, step, default, current value, the curve between
// the plain value and the host's normalised 0 … 1 value, and how the value is shown as text.
//
// Everything except the current value is written once, by one initialiser call while the plug-in
// is constructed, before any other thread sees the parameter. The current value is atomic and is
// read and written without a lock by the audio thread, the user-interface thread and host threads.
// Values are plain (in the parameter's own unit), never normalised, unless a name says otherwise.
//
// A NaN never becomes the current value: every path that would store one leaves the value as it
// is. Infinities clamp to the ends of the range.
class IParam {
public:
  enum EParamType {
    kTypeNone = 0, // not initialised
    kTypeBool = 1,
    kTypeInt = 2,
    kTypeEnum = 3,
    kTypeDouble = 4,
  };

  enum EFlags {
    kParamFlagNoAutomation = 0x1, // the host bridge declares the parameter as not automatable
    kParamFlagStepped = 0x2, // every constrained value is rounded to a multiple of the step
    kParamFlagNegateDisplay = 0x4, // display and text parsing use the negated value
    kParamFlagShowSign = 0x8, // the numeric display puts "+" before positive values
  };

  // Unit reported to the host.
  enum EParamUnit {
    kUnitPercentage = 0,
    kUnitSeconds = 1,
    kUnitMilliseconds = 2,
    kUnitDB = 4,
    kUnitDegrees = 8,
    kUnitFrequency = 12,
    kUnitCustom = 21, // no unit; the label is whatever the plug-in passes
  };

  // Custom formatter: receives the plain value and overwrites the text.
  using DisplayFunc = std::function<void(double value, TextString& text)>;

  // The curve between normalised (0 … 1) and plain values. The formulas are applied as they are;
  // IParam clamps the normalised input and constrains the result.
  class Shape {
  public:
    virtual ~Shape() = default;
    virtual std::unique_ptr<Shape> Clone() const = 0;
    // Precomputes from the parameter's range; called once when the parameter is initialised.
    virtual void Init(const IParam& param) = 0;
    // Tells the host bridge which kind of curve this is.
    virtual int GetDisplayType() const = 0;
    virtual double NormalizedToValue(double normalized, const IParam& param) const = 0;
    virtual double ValueToNormalized(double value, const IParam& param) const = 0;
  };

  // min + n · (max − min)
  class ShapeLinear : public Shape {
  public:
    std::unique_ptr<Shape> Clone() const override;
    void Init(const IParam& param) override;
    int GetDisplayType() const override;
    double NormalizedToValue(double normalized, const IParam& param) const override;
    double ValueToNormalized(double value, const IParam& param) const override;
  };

  // min + (max − min) · n^power; a power above 1 spends more of the travel near the low end.
  class ShapePowCurve : public Shape {
  public:
    explicit ShapePowCurve(double power);
    std::unique_ptr<Shape> Clone() const override;
    void Init(const IParam& param) override;
    int GetDisplayType() const override;
    double NormalizedToValue(double normalized, const IParam& param) const override;
    double ValueToNormalized(double value, const IParam& param) const override;

    double mPower;
  };

  // exp(n · mul + add): equal travel for equal ratios, from max(min, 1e-8) to max.
  class ShapeExp : public Shape {
  public:
    std::unique_ptr<Shape> Clone() const override;
    void Init(const IParam& param) override;
    int GetDisplayType() const override;
    double NormalizedToValue(double normalized, const IParam& param) const override;
    double ValueToNormalized(double value, const IParam& param) const override;

    double mMul = 1.0;
    double mAdd = 0.0;
  };

  // Uninitialised: kind none, range 0 … 1, value 0, linear shape, custom unit.
  IParam();
  ~IParam();
  IParam(const IParam&) = delete;
  IParam& operator=(const IParam&) = delete;

  // Initialisers: call one of them once, before the parameter is shared with other threads.
  // Names, labels, groups and display texts keep at most 31 characters.

  // The general form. The range is widened to at least one step; the value starts at the
  // default, constrained.
  void InitDouble(const char* name, double defaultVal, double minVal, double maxVal, double step,
                  const char* label = "", int flags = 0, const char* group = "", const Shape& shape = ShapeLinear(),
                  EParamUnit unit = kUnitCustom, DisplayFunc displayFunc = nullptr);
  // Whole numbers minVal … maxVal, stepped.
  void InitInt(const char* name, int defaultVal, int minVal, int maxVal, const char* label = "", int flags = 0,
               const char* group = "");
  // 0 or 1, stepped, with display texts 0 → offText and 1 → onText.
  void InitBool(const char* name, bool defaultVal, const char* label = "", int flags = 0, const char* group = "",
                const char* offText = "off", const char* onText = "on");
  // Indices 0 … n − 1 (at least 0 … 1), stepped, with display text i → texts[i].
  void InitEnum(const char* name, int defaultVal, std::initializer_list<const char*> texts, int flags = 0,
                const char* group = "");

  // Appends a fixed text for one exact value.
  void SetDisplayText(double value, const char* text);
  // Overrides the number of decimals derived from the step.
  void SetDisplayPrecision(int precision) { mDisplayPrecision = precision; }
  // When set, replaces all other display rules.
  void SetDisplayFunc(DisplayFunc func);
  // The name under which hosts store the value in sessions and presets (an LV2 port symbol):
  // letters, digits and '_', not starting with a digit. It is a contract with every saved session,
  // so it is given explicitly and never derived from the display name. "" until set.
  void SetSymbol(const char* symbol);

  // Value access; safe from any thread.

  // Single atomic load: cheap enough for every audio block.
  double GetValue() const { return mValue.load(); }
  // Rounds to the step when stepped (half away from zero), then clamps to the range. A NaN gives
  // the current value.
  double ConstrainValue(double value) const;
  // Stores the constrained value (sequentially consistent); a NaN is ignored.
  void SetValue(double value);
  // Plain value for a normalised one: the input is clamped to 0 … 1, mapped through the shape and
  // constrained. A NaN gives the current value.
  double ValueFromNormalized(double normalized) const;
  // Normalised value (0 … 1, never NaN) for a plain one, constrained first.
  double NormalizedFromValue(double value) const;
  // What a host's normalised change does.
  void SetFromNormalized(double normalized) { SetValue(ValueFromNormalized(normalized)); }
  double GetNormalized() const { return NormalizedFromValue(GetValue()); }

  // Accessors.
  const char* GetName() const { return mName; }
  const char* GetSymbol() const { return mSymbol; }
  // Empty while the current value (truncated to a whole number) has a non-empty display text.
  const char* GetLabel() const;
  const char* GetGroup() const { return mGroup; }
  void GetBounds(double& lo, double& hi) const
  {
    lo = mMin;
    hi = mMax;
  }
  double GetMin() const { return mMin; }
  double GetMax() const { return mMax; }
  double GetStep() const { return mStep; }
  double GetDefault() const { return mDefaultValue; }
  EParamType Type() const { return mType; }
  EParamUnit Unit() const { return mUnit; }
  int Flags() const { return mFlags; }
  bool GetStepped() const { return (mFlags & kParamFlagStepped) != 0; }
  int GetDisplayPrecision() const { return mDisplayPrecision; }
  const Shape& GetShape() const { return *mShape; }
  // Whether a display function shows the values (it replaces every other display rule).
  bool HasDisplayFunc() const { return static_cast<bool>(mDisplayFunc); }
  int NDisplayTexts() const { return static_cast<int>(mDisplayTexts.size()); }
  // The index-th display text ("" for an index out of range); its value into *pValue when asked.
  const char* GetDisplayTextAtIdx(int idx, double* pValue = nullptr) const;

  // Display and parsing (user-interface thread: may allocate).

  // Formats a value, plain or normalised: the display function if set; else, with
  // withDisplayText, a non-empty display text of exactly this value; else the number.
  void GetDisplay(double value, bool normalized, TextString& text, bool withDisplayText = true) const;
  // The current value as GetDisplay shows it, then " " and the label if there is one.
  void GetDisplayWithLabel(TextString& text, bool withDisplayText = true) const;
  // The first display text whose value equals `value` exactly, or "".
  const char* GetDisplayText(double value) const;
  // Looks up a display text (exact, case-sensitive); true and its value when found.
  bool MapDisplayText(const char* text, double* pValue) const;
  // Parses user input into a constrained plain value: a display text gives its value; other text
  // gives 0 for bool and enum, else its leading decimal number (0 if none). A text that reads as
  // NaN gives the current value.
  double StringToValue(const char* text) const;

private:
  struct DisplayText {
    double mValue;
    char mText[32];
  };

  double Snap(double value) const;
  double Clamp(double value) const;

  EParamType mType = kTypeNone;
  EParamUnit mUnit = kUnitCustom;
  std::atomic<double> mValue{0.0};
  double mMin = 0.0;
  double mMax = 1.0;
  double mStep = 1.0;
  double mDefaultValue = 0.0;
  int mDisplayPrecision = 0;
  int mFlags = 0;
  char mName[32] = {};
  char mLabel[32] = {};
  char mGroup[32] = {};
  char mSymbol[32] = {};
  std::unique_ptr<Shape> mShape;
  DisplayFunc mDisplayFunc;
  std::vector<DisplayText> mDisplayTexts;
};

} // namespace plug
