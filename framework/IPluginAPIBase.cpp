// SPDX-License-Identifier: ISC
#include "framework/IPluginAPIBase.h"

#include <algorithm>

namespace plug {

IPluginAPIBase::IPluginAPIBase(const Config& config)
    : IPluginBase(config),
      mEditorUpdates(std::make_unique<std::atomic<std::uint64_t>[]>(static_cast<size_t>(NParams() + 63) / 64)),
      mEditorUpdateWords((NParams() + 63) / 64)
{
  mTimer = RunLoop::Main().AddTimer(kTimerIntervalMs, [this] { OnTimer(); });
}

IPluginAPIBase::~IPluginAPIBase()
{
  StopTimer();
}

void IPluginAPIBase::StopTimer()
{
  if (mTimer != 0) {
    RunLoop::Main().RemoveTimer(mTimer);
    mTimer = 0;
  }
}

void IPluginAPIBase::SetParameterValue(int paramIdx, double normalizedValue)
{
  IParam* param = GetParam(paramIdx);
  if (!param)
    return;
  param->SetFromNormalized(normalizedValue);
  InformHostOfParamChange(paramIdx, normalizedValue);
  OnParamChange(paramIdx, kUI);
}

void IPluginAPIBase::SendParameterValueFromUI(int paramIdx, double normalizedValue)
{
  IParam* param = GetParam(paramIdx);
  if (!param)
    return;
  SetParameterValue(paramIdx, normalizedValue);
  param->SetFromNormalized(normalizedValue);
  OnParamChangeUI(paramIdx, kUI);
}

void IPluginAPIBase::BeginInformHostOfParamChangeFromUI(int paramIdx)
{
  if (IHostNotifications* host = mHost.load(std::memory_order_acquire); host && GetParam(paramIdx))
    host->BeginInformHostOfParamChange(paramIdx);
}

void IPluginAPIBase::EndInformHostOfParamChangeFromUI(int paramIdx)
{
  if (IHostNotifications* host = mHost.load(std::memory_order_acquire); host && GetParam(paramIdx))
    host->EndInformHostOfParamChange(paramIdx);
}

void IPluginAPIBase::SendParameterValueFromDelegate(int paramIdx, double value, bool normalized)
{
  IParam* param = GetParam(paramIdx);
  if (!param)
    return;
  if (!OnUIThread()) {
    // Controls belong to the user-interface thread: hand the update to the timer.
    SendParameterValueFromAPI(paramIdx, value, normalized);
    return;
  }
  showOnEditor(*param, paramIdx, value, normalized);
}

void IPluginAPIBase::showOnEditor(const IParam& param, int paramIdx, double value, bool normalized)
{
  if (IEditorView* editor = GetEditor()) {
    const double normalizedValue = normalized ? value : std::clamp(param.NormalizedFromValue(value), 0.0, 1.0);
    editor->SetParameterValueFromDelegate(paramIdx, normalizedValue);
  }
  OnParamChangeUI(paramIdx, kDelegate);
}

void IPluginAPIBase::SendParameterValueFromAPI(int paramIdx, double, bool)
{
  if (!GetParam(paramIdx))
    return;
  // Release: the tick that takes the mark sees the value stored before it.
  mEditorUpdates[static_cast<size_t>(paramIdx / 64)].fetch_or(std::uint64_t{1} << (paramIdx % 64),
                                                              std::memory_order_release);
}

void IPluginAPIBase::SetParameterFromHost(int paramIdx, double normalizedValue)
{
  IParam* param = GetParam(paramIdx);
  if (!param)
    return;
  param->SetFromNormalized(normalizedValue);
  SendParameterValueFromAPI(paramIdx, normalizedValue, true);
  OnParamChange(paramIdx, kHost);
}

void IPluginAPIBase::SetParameterFromHostPlain(int paramIdx, double plainValue)
{
  IParam* param = GetParam(paramIdx);
  if (!param)
    return;
  param->SetValue(plainValue);
  SendParameterValueFromAPI(paramIdx, param->GetValue(), false);
  OnParamChange(paramIdx, kHost);
}

void IPluginAPIBase::InformHostOfParamChange(int paramIdx, double normalizedValue)
{
  if (IHostNotifications* host = mHost.load(std::memory_order_acquire))
    host->InformHostOfParamChange(paramIdx, normalizedValue);
}

void IPluginAPIBase::InformHostOfPresetChange()
{
  if (IHostNotifications* host = mHost.load(std::memory_order_acquire))
    host->InformHostOfPresetChange();
}

bool IPluginAPIBase::ScheduleBackgroundWork()
{
  IHostNotifications* host = mHost.load(std::memory_order_acquire);
  return host && host->ScheduleBackgroundWork();
}

void IPluginAPIBase::OnTimer()
{
  // The timer runs on the user-interface thread by definition: apply directly, never re-queue.
  for (int word = 0; word < mEditorUpdateWords; ++word) {
    std::uint64_t marks = mEditorUpdates[static_cast<size_t>(word)].exchange(0, std::memory_order_acquire);
    for (int bit = 0; marks != 0; ++bit, marks >>= 1) {
      const int paramIdx = word * 64 + bit;
      if ((marks & 1) != 0)
        if (const IParam* param = GetParam(paramIdx))
          showOnEditor(*param, paramIdx, param->GetValue(), false);
    }
  }

  IEditorView* editor = GetEditor();
  IMidiMsg msg;
  while (mMidiToEditor.Pop(msg)) {
    if (editor)
      editor->ForwardMidiMsg(msg);
    OnMidiMsgUI(msg);
  }

  OnIdle();
}

} // namespace plug
