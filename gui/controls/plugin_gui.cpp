#include "gui/controls/plugin_gui.h"

#include <algorithm>
#include <cstdint>

#include "framework/base/base_math.h"
#include "framework/core/param_info.h"

// ---- dialogs and the editor thread's input handling

// Routes every dialog call: the open editor's real dialogs while its thread
// handles the user's input, the non-interactive ones otherwise. A shown
// dialog counts as modal for the editor (its mouse input waits).
class TDSPPluginGui::TPluginDialogs final : public TDialogs {
 public:
  explicit TPluginDialogs(TDSPPluginGui& plugin) : Plugin(plugin) {}
  void ShowMessage(TMessageKind kind, std::string_view text) override {
    if (!Plugin.InteractiveNow()) return Quiet.ShowMessage(kind, text);
    TModal modal(Plugin);
    Plugin.InteractiveDialogs().ShowMessage(kind, text);
  }
  bool ConfirmYesNo(std::string_view text) override {
    if (!Plugin.InteractiveNow()) return Quiet.ConfirmYesNo(text);
    TModal modal(Plugin);
    const bool yes = Plugin.InteractiveDialogs().ConfirmYesNo(text);
    return yes && !Cancelled();
  }
  // An answer given while the editor was closing counts as cancelled.
  bool InputQuery(std::string_view caption, std::string_view prompt, std::string& value) override {
    if (!Plugin.InteractiveNow()) return Quiet.InputQuery(caption, prompt, value);
    TModal modal(Plugin);
    std::string answer = value;
    if (!Plugin.InteractiveDialogs().InputQuery(caption, prompt, answer) || Cancelled()) return false;
    value = answer;
    return true;
  }
  TChooseResult ChooseFile(const TFileDialogOptions& options, std::string& path) override {
    if (!Plugin.InteractiveNow()) return Quiet.ChooseFile(options, path);
    TModal modal(Plugin);
    std::string chosen;
    const TChooseResult result = Plugin.InteractiveDialogs().ChooseFile(options, chosen);
    if (Cancelled()) return TChooseResult::Cancelled;
    if (result == TChooseResult::Chosen) path = chosen;
    return result;
  }
  bool Cancelled() const override { return Plugin.DialogsCancelled.load(); }

 private:
  struct TModal {
    explicit TModal(TDSPPluginGui& p) : P(p) { ++P.ModalDepth; }
    ~TModal() { --P.ModalDepth; }
    TDSPPluginGui& P;
  };
  TDSPPluginGui& Plugin;
  TNonInteractiveDialogs Quiet;
};

// The editor thread inside EditorWindowIdle's event handling: messages
// shown on this thread go to the plug-in's dialogs; a close asked for
// meanwhile happens when the outermost handling ends.
class TDSPPluginGui::TEditorDispatch {
 public:
  explicit TEditorDispatch(TDSPPluginGui& plugin) : P(plugin), Sink(&plugin.Dialogs()) {
    std::lock_guard<std::mutex> lock(P.DispatchMutex);
    P.DispatchThread = std::this_thread::get_id();
    ++P.DispatchDepth;
  }
  ~TEditorDispatch() {
    for (;;) {
      std::unique_lock<std::mutex> lock(P.DispatchMutex);
      if (P.DispatchDepth == 1 && P.CloseDeferred) {
        // Still counted as inside: nobody else closes meanwhile.
        P.CloseDeferred = false;
        lock.unlock();
        P.CloseEditorWindowNow();
        continue;
      }
      if (--P.DispatchDepth == 0) {
        P.DispatchThread = {};
        P.DispatchEnded.notify_all();
      }
      return;
    }
  }

 private:
  TDSPPluginGui& P;
  TMessageSinkScope Sink;
};

TDSPPluginGui::TDSPPluginGui() : DialogRouter(std::make_unique<TPluginDialogs>(*this)) {}

TDialogs& TDSPPluginGui::Dialogs() { return *DialogRouter; }

bool TDSPPluginGui::InteractiveNow() const {
  // Never a dialog under the plug-in's lock (the audio thread would wait for
  // the user): a notice that comes from under it, e.g. a layer's during a
  // program change the editor asked for, takes the non-interactive path.
  if (InstanceMutex().HeldHere()) return false;
  {
    std::lock_guard<std::mutex> lock(DispatchMutex);
    if (DispatchDepth == 0 || DispatchThread != std::this_thread::get_id()) return false;
  }
  return !DialogsCancelled.load() && EditorWnd != nullptr && EditorWnd->IsOpen();
}

std::unique_ptr<TDialogs> TDSPPluginGui::CreateDialogs(const TDialogOwner& owner) {
  // Dialogs belong to the editor's X11 window; a window without one (a
  // stand-in) gets none.
  if (owner.Window == nullptr) return std::make_unique<TNonInteractiveDialogs>();
  return std::make_unique<TWindowDialogs>(owner, CreateFileChooser());
}

TDialogs& TDSPPluginGui::InteractiveDialogs() {
  if (!Interactive) {
    TDialogOwner owner;
    owner.Window = EditorWnd ? EditorWnd->NativeWindow() : nullptr;
    owner.Drain = [] { PumpPostBacks(); };
    owner.Cancelled = [this] { return DialogsCancelled.load() || !EditorWnd || !EditorWnd->IsOpen(); };
    Interactive = CreateDialogs(owner);
  }
  return *Interactive;
}

bool TDSPPluginGui::AskText(std::string_view caption, std::string_view prompt, std::string& text) {
  return Dialogs().InputQuery(caption, prompt, text);
}

void TDSPPluginGui::ShowMessageText(std::string_view text) { Dialogs().ShowMessage(TMessageKind::Information, text); }

void TDSPPluginGui::WaitForEditorDispatch() {
  std::unique_lock<std::mutex> lock(DispatchMutex);
  if (DispatchDepth == 0) return;
  DialogsCancelled.store(true);
  // On the editor thread itself there is nothing to wait for (and a wait
  // would never end).
  if (DispatchThread == std::this_thread::get_id()) return;
  DispatchEnded.wait(lock, [this] { return DispatchDepth == 0; });
}

void TDSPPluginGui::CloseBegins() {
  HostClosing.store(true);
  // An idle held inside by a dialog returns (the close waits for it).
  DialogsCancelled.store(true);
}

void TDSPPluginGui::Close() {
  WaitForEditorDispatch();
  TDSPPluginX::Close();
}

TDSPPluginGui::~TDSPPluginGui() {
  // A host that destroys the plug-in without closing it first, from another
  // thread than the editor's: the editor's input handling ends first.
  WaitForEditorDispatch();
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
  control->OnValueChanged = TSPThemeGUIControl::TNotifyEvent::Bind<&TDSPPluginGui::OnGuiControlValueChanged>(this);
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
  button->OnFillMenu = TSPThemeGUISubPresetsButton::TFillMenuEvent::Bind<&TDSPPluginGui::BuildSubPresetMenu>(this);
  button->ThemeIndex = PluginThemeIndex;
  button->UpdateLayout();
  return button;
}

void TDSPPluginGui::BuildSubPresetMenu(TSPThemeGUIControl* sender, TGuiPopupMenu& menu, bool /*leftButton*/) {
  if (auto* button = dynamic_cast<TSPThemeGUISubPresetsButton*>(sender))
    FillSubPresetMenu(button->SubPresetGroup, menu);
}

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
  std::lock_guard<std::recursive_mutex> window(WindowLock);
  PumpPostBacks();
  OpenEditorWindow(parentWindow);
  return EditorWnd != nullptr;
}

void TDSPPluginGui::OpenEditorWindow(void* parentWindow) {
  std::lock_guard<std::recursive_mutex> lock(WindowLock);
  if (!HasGui() || !Body) {
    EditorError = "the plug-in has no editor";
    return;
  }
  // A window that went with the host's window is replaced.
  if (EditorWnd && !EditorWnd->IsOpen()) CloseEditorWindow();
  if (EditorWnd) return;  // a second open shows the same window
  if (HostClosing.load()) {
    EditorError = "the plug-in is closing";
    return;
  }
  auto window = std::make_unique<TDSPVSTEditorWnd>();
  window->Plugin = this;
  std::string why;
  if (!window->Open(parentWindow, EditorWidth, EditorHeight, &why)) {
    EditorError = why.empty() ? "the editor window could not be opened" : why;
    return;
  }
  if (HostClosing.load()) {
    // The host's close began while the window was being made: it goes
    // again here, on the thread that made it (the close leaves a window
    // of another thread's connection to that thread).
    window->Close();
    EditorError = "the plug-in is closing";
    return;
  }
  EditorError.clear();
  EditorWnd = std::move(window);
  DialogsCancelled.store(false);
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
  std::lock_guard<std::recursive_mutex> window(WindowLock);
  {
    std::lock_guard<std::mutex> lock(DispatchMutex);
    if (DispatchDepth > 0) {
      // The editor thread is handling input (a dialog may be up): its
      // dialogs end now, the window goes when the handling returns.
      DialogsCancelled.store(true);
      CloseDeferred = true;
      return true;
    }
  }
  return CloseEditorWindowNow();
}

bool TDSPPluginGui::CloseEditorWindowNow() {
  std::lock_guard<std::recursive_mutex> lock(WindowLock);
  Interactive.reset();
  // Taken out first: a listener call made while the window closes (a drag
  // that ends) finds no window to open or close again.
  std::unique_ptr<TDSPVSTEditorWnd> window = std::move(EditorWnd);
  if (!window) return false;
  Attached.store(false);
  window->Close();
  return true;
}

void TDSPPluginGui::EditorWindowIdle() {
  std::unique_lock<std::recursive_mutex> lock(WindowLock);
  if (!EditorWnd) return;
  // The repaints that the value updates of this idle's first pump asked for.
  PumpPostBacks();
  TEditorDispatch dispatch(*this);
  if (!EditorWnd) return;
  // The window's events are handled without the lock: a close from another
  // thread meanwhile waits for the input handling to return (the dispatch)
  // instead of for this lock, so that it can end a dialog that is up.
  TDSPVSTEditorWnd& window = *EditorWnd;
  lock.unlock();
  window.Idle();
}
