// SPDX-License-Identifier: ISC
#include "framework/LV2/IPluginLV2UI.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <lv2/instance-access/instance-access.h>
#include <lv2/urid/urid.h>

#include "framework/LV2/LV2Layout.h"
#include "graphics/EditorWindow.h"
#include "graphics/IGraphics.h"
#include "base/RunLoop.h"
#include "platform/X11View.h"

namespace plug::lv2 {

namespace {

const void* featureData(const LV2_Feature* const* features, const char* uri, bool& present)
{
  present = false;
  for (const LV2_Feature* const* f = features; f && *f && (*f)->URI; ++f)
    if (std::strcmp((*f)->URI, uri) == 0) {
      present = true;
      return (*f)->data;
    }
  return nullptr;
}

const void* featureData(const LV2_Feature* const* features, const char* uri)
{
  bool present = false;
  return featureData(features, uri, present);
}

// A host shows nothing when a UI does not open: the reason goes to stderr, in one line.
IPluginLV2UI* refuse(const std::string& reason)
{
  std::fprintf(stderr, "quennet: the editor cannot open: %s\n", reason.c_str());
  return nullptr;
}

} // namespace

IPluginLV2UI* IPluginLV2UI::Create(const char* pluginURI, const char*, LV2UI_Write_Function write,
                                   LV2UI_Controller controller, LV2UI_Widget* widget,
                                   const LV2_Feature* const* features)
{
  if (!pluginURI || std::strcmp(pluginURI, kPluginURI) != 0)
    return refuse(std::string("it is for another plug-in: ") + (pluginURI ? pluginURI : "(none)"));
  if (!widget)
    return refuse("the host gives no place for the widget");
  bool hasParent = false;
  const void* parent = featureData(features, LV2_UI__parent, hasParent);
  // The parent is an X window id; 0 is none.
  if (!hasParent || !parent)
    return refuse("the host gives no parent window (ui:parent)");
  const auto* map = static_cast<const LV2_URID_Map*>(featureData(features, LV2_URID__map));
  if (!map)
    return refuse("the host gives no urid:map");
  bool hasInstanceAccess = false;
  const void* handle = featureData(features, LV2_INSTANCE_ACCESS_URI, hasInstanceAccess);
  if (!hasInstanceAccess)
    return refuse("the host gives no instance-access");
  IPluginLV2* instance = IPluginLV2::FromHandle(handle);
  if (!instance)
    return refuse("the instance the host names (instance-access) is none of this module's");
  const auto* hostResize = static_cast<const LV2UI_Resize*>(featureData(features, LV2_UI__resize));
  if (hostResize && !hostResize->ui_resize)
    hostResize = nullptr;
  const auto* touch = static_cast<const LV2UI_Touch*>(featureData(features, LV2_UI__touch));
  if (touch && !touch->touch)
    touch = nullptr;

  std::string failure;
  std::unique_ptr<X11View> view = X11View::Create(reinterpret_cast<std::uintptr_t>(parent), nullptr, &failure);
  if (!view)
    return refuse(failure);
  std::unique_ptr<IPluginLV2UI> ui(new IPluginLV2UI(*instance, write, controller, hostResize, touch));
  ui->mView = std::move(view);
  ui->mView->SetSizeListener([ui = ui.get()](int width, int height) {
    if (ui->mHostResize)
      ui->mHostResize->ui_resize(ui->mHostResize->handle, width, height);
  });

  // The plug-in's editor factory finds the artwork beside the module, in this bundle.
  ui->mWindow = graphics::EditorWindow::Open(*instance->GetPlug(), *ui->mView);
  if (!ui->mWindow)
    return refuse("the plug-in has no editor");
  graphics::IGraphics& g = ui->mWindow->Graphics();
  ui->mView->Attach(&g);
  ui->mView->Map();
  instance->AttachEditorPorts(ui.get());
  *widget = reinterpret_cast<LV2UI_Widget>(static_cast<std::uintptr_t>(ui->mView->GetWindow()));
  return ui.release();
}

IPluginLV2UI::IPluginLV2UI(IPluginLV2& instance, LV2UI_Write_Function write, LV2UI_Controller controller,
                           const LV2UI_Resize* hostResize, const LV2UI_Touch* touch)
    : mInstance(&instance), mWrite(write), mController(controller), mHostResize(hostResize), mTouch(touch)
{
  std::uint32_t ports = 0;
  for (int i = 0; i < instance.GetPlug()->NParams(); ++i)
    ports = std::max(ports, instance.ControlPortOf(i) + 1);
  mRecent.resize(ports);
}

IPluginLV2UI::~IPluginLV2UI()
{
  closeEditor();
  mView.reset();
}

void IPluginLV2UI::closeEditor()
{
  if (mInstance)
    mInstance->DetachEditorPorts(this);
  if (mView)
    mView->Attach(nullptr);
  // Detaches the editor from the plug-in, which drops its references to the controls.
  mWindow.reset();
}

void IPluginLV2UI::InstanceDestroyed()
{
  closeEditor();
  mInstance = nullptr;
}

int IPluginLV2UI::Idle()
{
  if (!mWindow || !mView)
    return 1;
  if (!mView->ProcessEvents()) {
    closeEditor(); // the window went with the host's
    return 1;
  }
  endPreviews();
  // Every instance's 20 ms timer and every open editor's frames live on this loop.
  RunLoop::Main().Pump();
  return mView->WindowGone() ? 1 : 0;
}

int IPluginLV2UI::Resize(int width, int height)
{
  if (!mView || !mWindow || width < 1 || height < 1)
    return 1;
  mView->SetSizeFromHost(width, height);
  return 0;
}

void IPluginLV2UI::PortEvent(std::uint32_t port, std::uint32_t bufferSize, std::uint32_t format, const void* buffer)
{
  // Control ports speak floats (format 0).
  if (!mInstance || !mWindow || format != 0 || bufferSize != sizeof(float) || !buffer)
    return;
  const int paramIdx = mInstance->ParamOfControlPort(port);
  if (paramIdx < 0)
    return;
  float value = 0.0f;
  std::memcpy(&value, buffer, sizeof(value));
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  if (std::isnan(value) || mRecent[port].grabbed || isRecentWrite(port, bits))
    return;
  mRecent[port].count = 0; // the host moved on: older writes coming back now are its values
  float seen = 0.0f;
  if (mInstance->LastSeenPortValue(port, seen) && std::bit_cast<std::uint32_t>(seen) == bits)
    return;
  IPlugin& plug = *mInstance->GetPlug();
  const double plain = plug.GetParam(paramIdx)->ConstrainValue(PlainFromPortValue(value));
  plug.SendParameterValueFromDelegate(paramIdx, plain, false);
  mRecent[port].previewing = true;
  mRecent[port].previewRun = mInstance->RunCount();
}

void IPluginLV2UI::endPreviews()
{
  if (!mInstance || !mWindow)
    return;
  const std::uint64_t runs = mInstance->RunCount();
  IPlugin& plug = *mInstance->GetPlug();
  for (std::uint32_t port = 0; port < mRecent.size(); ++port) {
    Recent& recent = mRecent[port];
    if (!recent.previewing || runs < recent.previewRun + 2 || recent.grabbed)
      continue;
    recent.previewing = false;
    const int paramIdx = mInstance->ParamOfControlPort(port);
    if (paramIdx >= 0)
      plug.SendParameterValueFromDelegate(paramIdx, plug.GetParam(paramIdx)->GetValue(), false);
  }
}

bool IPluginLV2UI::isRecentWrite(std::uint32_t port, std::uint32_t bits) const
{
  if (port >= mRecent.size())
    return false;
  const Recent& recent = mRecent[port];
  const std::size_t n = std::min(recent.count, kRecentWrites);
  for (std::size_t i = 0; i < n; ++i)
    if (recent.bits[(recent.count - 1 - i) % kRecentWrites] == bits)
      return true;
  return false;
}

void IPluginLV2UI::WriteControlPort(std::uint32_t port, float value)
{
  if (port < mRecent.size()) {
    Recent& recent = mRecent[port];
    recent.bits[recent.count % kRecentWrites] = std::bit_cast<std::uint32_t>(value);
    ++recent.count;
  }
  if (mWrite)
    mWrite(mController, port, sizeof(float), 0, &value);
}

void IPluginLV2UI::TouchControlPort(std::uint32_t port, bool grabbed)
{
  if (port < mRecent.size())
    mRecent[port].grabbed = grabbed;
  if (mTouch)
    mTouch->touch(mTouch->handle, port, grabbed);
}

// The C entry points.

namespace {

IPluginLV2UI* ui(LV2UI_Handle handle)
{
  return static_cast<IPluginLV2UI*>(handle);
}

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char* pluginURI, const char* bundlePath,
                         LV2UI_Write_Function write, LV2UI_Controller controller, LV2UI_Widget* widget,
                         const LV2_Feature* const* features)
{
  try {
    const std::lock_guard lock(IPluginLV2::EditorMutex());
    return IPluginLV2UI::Create(pluginURI, bundlePath, write, controller, widget, features);
  } catch (...) {
    return nullptr; // nothing may escape into the host
  }
}

void cleanup(LV2UI_Handle handle)
{
  try {
    const std::lock_guard lock(IPluginLV2::EditorMutex());
    delete ui(handle);
  } catch (...) {
  }
}

void portEvent(LV2UI_Handle handle, std::uint32_t port, std::uint32_t bufferSize, std::uint32_t format,
               const void* buffer)
{
  try {
    const std::lock_guard lock(IPluginLV2::EditorMutex());
    ui(handle)->PortEvent(port, bufferSize, format, buffer);
  } catch (...) {
  }
}

int idle(LV2UI_Handle handle)
{
  try {
    const std::lock_guard lock(IPluginLV2::EditorMutex());
    return ui(handle)->Idle();
  } catch (...) {
    return 1;
  }
}

int resize(LV2UI_Feature_Handle handle, int width, int height)
{
  try {
    const std::lock_guard lock(IPluginLV2::EditorMutex());
    return ui(handle)->Resize(width, height);
  } catch (...) {
    return 1;
  }
}

const void* extensionData(const char* uri)
{
  static const LV2UI_Idle_Interface idleInterface = {idle};
  // Provided by a UI, the handle is unused: the host passes the UI's own.
  static const LV2UI_Resize resizeInterface = {nullptr, resize};
  if (std::strcmp(uri, LV2_UI__idleInterface) == 0)
    return &idleInterface;
  if (std::strcmp(uri, LV2_UI__resize) == 0)
    return &resizeInterface;
  return nullptr;
}

const LV2UI_Descriptor kDescriptor = {kUIURI, instantiate, cleanup, portEvent, extensionData};

} // namespace

const LV2UI_Descriptor* UIDescriptor()
{
  return &kDescriptor;
}

} // namespace plug::lv2
