#include "gui/controls/plugin_gui.h"

#include <algorithm>
#include <cstdint>

#include "framework/base/base_math.h"
#include "framework/core/param_info.h"

TDSPPluginGui::TDSPPluginGui() = default;

TDSPPluginGui::~TDSPPluginGui() {
  // Posted calls of the plug-in must not reach a tree that is going away.
  BeingDestroyed.store(true);
  CloseEditorWindow();
  CancelPostBacksOf(this);
  for (TParamInfoRec& info : ParamInfo) info.GuiControl = nullptr;
  NameLabel = nullptr;
  Panels.clear();
  Body.reset();  // the whole tree; each control cancels its own posted repaints
}

// ---- set-up

void TDSPPluginGui::CreatePanels() {
  TDSPPluginX::CreatePanels();
  if (!HasGui()) return;
  Body = std::make_unique<TSPThemeGUIBody>();
  Body->Width = EditorWidth;
  Body->Height = EditorHeight;
  Body->Top = 0;
  Body->Left = 0;
  Body->StyleIndex = kBodyStyle;
  AddGuiPanel(Body.get());

  auto* header = new TSPThemeGUIPanel(Body.get(), "");
  header->Width = EditorWidth - 4;
  header->Height = kHeaderHeight;
  header->Top = 1;
  header->Left = 1;
  header->StyleIndex = 0;
  AddGuiPanel(header);

  NameLabel = new TSPThemeGUILabel(header);
  NameLabel->RelTop = kNameLabelTop;
  NameLabel->RelLeft = kNameLabelLeft;
  NameLabel->Caption = EffectName;
  NameLabel->ThemeIndex = PluginThemeIndex;
  NameLabel->UpdateLayout();
}

std::int32_t TDSPPluginGui::AddGuiPanel(TSPThemeGUIControl* panel) {
  if (panel == nullptr) return -1;
  panel->ThemeIndex = PluginThemeIndex;
  panel->UpdateLayout();
  Panels.push_back(panel);
  return static_cast<std::int32_t>(Panels.size()) - 1;
}

std::int32_t TDSPPluginGui::AddGuiPanel(TSPThemeGUIControl* parent, std::string_view caption, std::int32_t style) {
  if (parent == nullptr) return -1;
  auto* panel = new TSPThemeGUIPanel(parent, std::string(caption));
  panel->StyleIndex = style;
  return AddGuiPanel(panel);
}

TSPThemeGUIControl* TDSPPluginGui::GuiPanel(std::int32_t index) const {
  if (index < 0 || index >= GuiPanelCount()) return nullptr;
  return Panels[static_cast<std::size_t>(index)];
}

TSPThemeGUIControl* TDSPPluginGui::GuiControlOf(std::int32_t param) const {
  if (param < 0 || param >= static_cast<std::int32_t>(ParamInfo.size())) return nullptr;
  return ParamInfo[static_cast<std::size_t>(param)].GuiControl;
}

void TDSPPluginGui::BuildEditorControls() {
  TDSPPluginX::BuildEditorControls();
  if (!HasGui() || !Body) return;
  for (std::int32_t i = 0; i < ParamCount && i < ParamCountAllocated(); ++i) {
    TParamInfoRec& info = ParamInfo[static_cast<std::size_t>(i)];
    if (info.GuiKind == kGuiNone) continue;
    TSPThemeGUIControl* panel = GuiPanel(info.GuiPanel);
    if (panel == nullptr) {
      MissingPanelParams.push_back(i);
      continue;
    }
    TSPThemeGUIControl* control = CreateGuiControlByKind(info.GuiKind, panel);
    info.GuiControl = control;
    if (control != nullptr) BindEditorControl(control, i);
  }
}

void TDSPPluginGui::BindEditorControl(TSPThemeGUIControl* control, std::int32_t param) {
  if (control == nullptr || !IsValidParam(param)) return;
  const TParamInfoRec& info = ParamInfo[static_cast<std::size_t>(param)];
  // The step in normalised units; an empty range gives a step that is not
  // a number, and such a control cannot be dragged or clicked.
  control->SetStep(info.Step / (info.Max - info.Min));
  control->RelTop = info.GuiTop;
  control->RelLeft = info.GuiLeft;
  control->OnValueChanged =
      TSPThemeGUIControl::TNotifyEvent::Bind<&TDSPPluginGui::OnGuiControlValueChanged>(this);
  control->OnGesture = TSPThemeGUIControl::TGestureEvent::Bind<&TDSPPluginGui::OnGuiControlGesture>(this);
  control->OnGetValueStrings =
      TSPThemeGUIControl::TGetValueStringsEvent::Bind<&TDSPPluginGui::GetGuiValueStrings>(this);
  control->OnGetText = TSPThemeGUIControl::TGetTextEvent::Bind<&TDSPPluginGui::GetGuiValueText>(this);
  control->ThemeIndex = PluginThemeIndex;
  control->StyleIndex = info.GuiTag;
  control->ParamIndex = param;
  control->Caption = info.HelpText;
  ApplyGuiFlags(*control, info.GuiFlags);
  control->UpdateLayout();
}

TSPThemeGUISubPresetsButton* TDSPPluginGui::CreateSubPresetButton(std::string_view caption, std::int32_t top,
                                                                   std::int32_t left, std::int32_t panel,
                                                                   std::int32_t group) {
  TSPThemeGUIControl* parent = GuiPanel(panel);
  if (!HasGui() || parent == nullptr) return nullptr;
  auto* button = new TSPThemeGUISubPresetsButton(parent);
  button->Caption = std::string(caption);
  button->RelTop = top;
  button->RelLeft = left;
  button->SubPresetGroup = group;
  button->OnFillMenu =
      TSPThemeGUISubPresetsButton::TFillMenuEvent::Bind<&TDSPPluginGui::BuildSubPresetMenu>(this);
  button->ThemeIndex = PluginThemeIndex;
  button->UpdateLayout();
  return button;
}

void TDSPPluginGui::BuildSubPresetMenu(TSPThemeGUIControl* /*sender*/, TGuiPopupMenu& /*menu*/,
                                       bool /*leftButton*/) {}

// ---- value flow

void TDSPPluginGui::UpdateGuiControlNow(std::int32_t index) {
  if (!HasGui() || !IsValidParam(index)) return;
  if (TSPThemeGUIControl* control = ParamInfo[static_cast<std::size_t>(index)].GuiControl)
    control->SetValueFromPlugin(GetParameterValue(index));
}

void TDSPPluginGui::UpdateGuiControl(std::int32_t index, bool now) {
  if (!Attached.load()) return;
  TDSPPluginX::UpdateGuiControl(index, now);
}

void TDSPPluginGui::SyncGuiControls() {
  for (std::int32_t i = 0; i < ParamCount && i < ParamCountAllocated(); ++i) {
    if (TSPThemeGUIControl* control = ParamInfo[static_cast<std::size_t>(i)].GuiControl) {
      control->Value = GetParameterValue(i);
      // A repaint request that a cleared queue dropped must not block the
      // control's repaints for good.
      control->RepaintAllowed = true;
    }
  }
}

void TDSPPluginGui::OnGuiControlValueChanged(TSPThemeGUIControl* sender) {
  if (sender == nullptr) return;
  OnGuiControlChange(sender->ParamIndex, sender->Value, sender->IsUpdating());
}

void TDSPPluginGui::OnGuiControlGesture(TSPThemeGUIControl* sender, bool begin) {
  if (sender == nullptr || !IsValidParam(sender->ParamIndex)) return;
  if (begin) BeginEdit(sender->ParamIndex);
  else EndEdit(sender->ParamIndex);
}

void TDSPPluginGui::GetGuiValueStrings(TSPThemeGUIControl* sender, std::vector<std::string>& strings,
                                       std::int32_t& count) {
  if (sender == nullptr || !IsValidParam(sender->ParamIndex)) return;
  const std::int32_t param = sender->ParamIndex;
  const TParamInfoRec& info = ParamInfo[static_cast<std::size_t>(param)];
  const std::int32_t lo = RoundF(info.Min), hi = RoundF(info.Max);
  if (lo == INT32_MIN || hi == INT32_MIN || hi < lo) return;  // no whole values (or not numbers)
  const std::int64_t last =
      std::min<std::int64_t>(hi, static_cast<std::int64_t>(lo) + TSPThemeGUIController::kMaxValueMenuEntries - 1);
  for (std::int64_t v = lo; v <= last; ++v) {
    strings.push_back(ShortString(GetParamDisplayText(kQueryParam, param, static_cast<float>(v))));
    ++count;
  }
}

void TDSPPluginGui::GetGuiValueText(TSPThemeGUIControl* sender, std::string& text, float /*value*/) {
  if (sender == nullptr || !IsValidParam(sender->ParamIndex)) return;
  // The parameter's current value, whatever the control holds.
  text = GetParamDisplayText(kQueryParam, sender->ParamIndex, GetParameterReal(sender->ParamIndex));
}

// ---- editor window

std::unique_ptr<TEditorPlatformWindow> TDSPPluginGui::CreatePlatformWindow(void* parent, std::int32_t width,
                                                                           std::int32_t height,
                                                                           TWindowListener* listener,
                                                                           std::string* why) {
  // Linux hosts pass their window's X id through the pointer argument.
  return OpenX11EditorWindow(static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(parent)), width, height,
                             listener, why);
}

bool TDSPPluginGui::EditOpen(void* parentWindow) {
  PumpPostBacks();
  OpenEditorWindow(parentWindow);
  return EditorWnd != nullptr;
}

void TDSPPluginGui::OpenEditorWindow(void* parentWindow) {
  if (!HasGui() || !Body) {
    EditorError = "the plug-in has no editor";
    return;
  }
  // A window that went with the host's window is replaced.
  if (EditorWnd && !EditorWnd->IsOpen()) CloseEditorWindow();
  if (EditorWnd) return;  // a second open shows the same window
  auto window = std::make_unique<TDSPVSTEditorWnd>();
  window->Plugin = this;
  std::string why;
  if (!window->Open(parentWindow, EditorWidth, EditorHeight, &why)) {
    EditorError = why.empty() ? "the editor window could not be opened" : why;
    return;
  }
  EditorError.clear();
  EditorWnd = std::move(window);
  {
    // The editor's lock before the instance's: painting holds the editor's
    // lock while value texts take the instance's, so this order is the only one.
    std::lock_guard<std::recursive_mutex> gui(GuiLock());
    Lock();
    EditorWnd->AttachPlugin();
    Attached.store(true);
    Unlock();
  }
  // Changes from now on are posted; everything before is read here, so the
  // window shows every control at its current value.
  SyncGuiControls();
  Body->Invalidate(true, true, false);
}

bool TDSPPluginGui::CloseEditorWindow() {
  if (!EditorWnd) return false;
  Attached.store(false);
  EditorWnd->Close();
  EditorWnd.reset();
  return true;
}

void TDSPPluginGui::EditorWindowIdle() {
  if (!EditorWnd) return;
  // The repaints that the value updates of this idle's first pump asked for.
  PumpPostBacks();
  if (EditorWnd) EditorWnd->Idle();
}
