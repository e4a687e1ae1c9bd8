// The plug-in core with its editor: the editor's controls belong to the
// plug-in and exist from set-up on, whether or not the host has opened the
// editor window. TDSPPluginGui creates the root of the control tree (the
// body) and the header, keeps the list of editor panels that parameters and
// layers place controls on, makes one control per parameter from its
// descriptor's editor fields and binds it to the parameter, and answers the
// host's editor requests (open, close, rectangle, idle) with the editor
// window. Instrument layers derive from it and add their own panels, page
// buttons and sub-preset buttons:
//
//   CreatePanels      - call the inherited one first (body = panel 0, header
//                       = panel 1), then make panels on GuiBody() and keep
//                       the index AddGuiPanel answers for the descriptors;
//   LayoutPanels      - place and size the panels (Top, Left, Width, Height:
//                       absolute body pixels);
//   InitParameterInfo - GuiKind, GuiPanel (an index AddGuiPanel gave),
//                       GuiTop/GuiLeft (relative to the panel), GuiTag (the
//                       style index), HelpText (the caption), GuiFlags;
//   CreatePageButtons - notebook buttons (TSPThemeGUINoteBookButton on the
//                       panel that holds the pages, ThemeIndex :=
//                       PluginThemeIndex, then UpdateLayout), page panels'
//                       NoteBookGroup/NoteBookPage/ActivePage, and
//                       CreateSubPresetButton.
// Everything is made only when HasGui() (HasGuiFlag, set by the instrument).
//
// Value flow: a control's change (window thread) is stored under the
// plug-in's lock, then the host is told the stored value as automation,
// inside a begin/end-edit bracket per gesture (each notice after a tempo
// request on the same thread: AudioEffect::NotifyHostOfEdit). A change from the plug-in
// side (host, MIDI, programs; any thread) is posted while an editor window
// is open and sets the control on the window thread without echoing back.
// Opening a window sets every control from the parameters first.
//
// Dialogs and messages: the plug-in's notices, questions and file dialogs
// are real windows only while the editor thread handles the user's input in
// this plug-in's open editor (its idle call dispatching the window's events:
// a menu choice, a button). Everywhere else (no display, no editor, a host
// call, construction, the audio thread, another thread) they take the
// non-interactive path, which never waits: messages go to stderr, questions
// answer no, queries and file dialogs are cancelled. No dialog is ever shown
// under the plug-in's lock: the actions read and check a file first, ask,
// and only then apply under the lock.
//
// Closing: a close request that arrives while the editor thread is inside
// that input handling (a dialog may be up) ends the dialogs at once and
// closes the window when the handling returns; destroying the plug-in from
// another thread waits for it first, so no dialog calls back into a
// destroyed plug-in. Opening, closing and idling the window exclude one
// another (WindowLock), whichever host threads they come from: a close
// from another thread waits for an open in progress, or for an idle's
// posted calls, and never pulls the window from under them. Once the host's
// close began (CloseBegins) no window opens any more: one that was being
// made meanwhile is closed again by the thread that made it.
//
// Threads: set-up on the loading thread; editor requests, idle and every
// control on the host's editor thread (a window's X calls all happen on
// the thread that opened it; a close from another thread leaves them to
// it); UpdateGuiControl on any thread. Lock order: WindowLock, then the
// editor's GuiLock, then the plug-in's lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "framework/core/dsp_plugin_x.h"
#include "gui/controls/editor_window.h"
#include "gui/controls/gui_control.h"
#include "gui/controls/gui_leaf_controls.h"
#include "gui/dialogs/dialogs.h"

class TDSPPluginGui : public TDSPPluginX {
 public:
  static constexpr std::int32_t kBodyPanel = 0;
  static constexpr std::int32_t kHeaderPanel = 1;
  static constexpr std::int32_t kBodyStyle = 5;
  static constexpr std::int32_t kHeaderHeight = 32;
  static constexpr std::int32_t kNameLabelTop = 2;
  static constexpr std::int32_t kNameLabelLeft = 550;

  TDSPPluginGui();
  // Closes the editor window and frees the control tree.
  ~TDSPPluginGui() override;

  // ---- set-up (loading thread)
  // With a GUI: the body (the editor's size, style 5) as panel 0, the
  // header panel (editor width - 4 x 32 at 1, 1, style 0) as panel 1 and on
  // it the label with the effect name at 2, 550.
  void CreatePanels() override;
  // One control per parameter whose GuiKind makes one, on panel GuiPanel
  // (none for a panel outside the list, and the parameter is listed in
  // ParamsWithoutPanel), bound to the parameter.
  void BuildEditorControls() override;
  // The parameters whose descriptor asks for a control on a panel that
  // does not exist: they have no control (a layer's table or panel list is
  // wrong).
  const std::vector<std::int32_t>& ParamsWithoutPanel() const { return MissingPanelParams; }
  // Gives the panel the plug-in's theme, lets it lay itself out, appends it
  // to the panel list and answers its index.
  std::int32_t AddGuiPanel(TSPThemeGUIControl* panel);
  // A new panel on parent with that caption and surface style, added as
  // AddGuiPanel adds one; -1 (nothing made) without a parent.
  std::int32_t AddGuiPanel(TSPThemeGUIControl* parent, std::string_view caption, std::int32_t style);
  // Null outside the list.
  TSPThemeGUIControl* GuiPanel(std::int32_t index) const;
  std::int32_t GuiPanelCount() const { return static_cast<std::int32_t>(Panels.size()); }
  TSPThemeGUIBody* GuiBody() const { return Body.get(); }
  // The control bound to a parameter, or null.
  TSPThemeGUIControl* GuiControlOf(std::int32_t param) const;
  // Binds a control to parameter param as BuildEditorControls does (step,
  // position, style, caption, flags, value suppliers) and lays it out.
  void BindEditorControl(TSPThemeGUIControl* control, std::int32_t param);
  // A "Preset" style button for a sub-preset group on panel `panel`
  // (relative top, left); null for a panel outside the list or without a GUI.
  TSPThemeGUISubPresetsButton* CreateSubPresetButton(std::string_view caption, std::int32_t top, std::int32_t left,
                                                     std::int32_t panel, std::int32_t group);
  // Fills a sub-preset button's menu with the menu of its group
  // (FillSubPresetMenu).
  virtual void BuildSubPresetMenu(TSPThemeGUIControl* sender, TGuiPopupMenu& menu, bool leftButton);

  // ---- sub-preset menu (sub_preset_menu.cpp; window thread)
  // Clears the menu, then one item per sub-preset of the group (its name;
  // choosing it applies it), a new column at every 16th; "No Presets..."
  // (disabled) when there is none; then "-", "Save Sub-Preset Here", "-",
  // "Save Sub-Preset To Disk", "Load Sub-Preset", "Load Sub-Preset Bank",
  // "Save Sub-Preset Bank" and "Whats this?". The menu's Tag is the group.
  void FillSubPresetMenu(std::int32_t group, TGuiPopupMenu& menu);
  // The menu's actions. Each answers whether it did what it set out to do;
  // a cancelled dialog, a refused or damaged file change nothing.
  // "Save Sub-Preset To Disk": StoreSubPreset, then a save dialog for its
  // ".spi" file; answers the sub-preset's index or -1.
  std::int32_t SaveSubPresetToDisk(std::int32_t group);
  // "Load Sub-Preset": an open dialog, then the ".spi" file stored in the
  // group (over the sub-preset of its name) and applied.
  bool LoadSubPresetFromDisk(std::int32_t group);
  // "Load Sub-Preset Bank": an open dialog, the ".spf" file read and checked
  // for the group, then the question whether to clear the group's
  // sub-presets, then the file's sub-presets added.
  bool LoadSubPresetBankFromDisk(std::int32_t group);
  // "Save Sub-Preset Bank": a save dialog (the group's name proposed), then
  // the group's ".spf" file.
  bool SaveSubPresetBankToDisk(std::int32_t group);
  // "Whats this?".
  void ShowSubPresetHelp();
  // Where the file dialogs start: the folder of the plug-in's module file.
  std::string SubPresetFolder() const;
  // The menu items' click handlers.
  void OnSubPresetChosen(TGuiMenuItem* item);
  void OnSaveSubPresetHere(TGuiMenuItem* item);
  void OnSaveSubPresetToDisk(TGuiMenuItem* item);
  void OnLoadSubPreset(TGuiMenuItem* item);
  void OnLoadSubPresetBank(TGuiMenuItem* item);
  void OnSaveSubPresetBank(TGuiMenuItem* item);
  void OnSubPresetHelp(TGuiMenuItem* item);

  // ---- dialogs (see above)
  // The plug-in's dialogs; every call decides by itself whether it shows a
  // window now (InteractiveNow) or takes the non-interactive path.
  TDialogs& Dialogs();
  // True on the editor thread while it handles input in this plug-in's open
  // editor, no close is under way and the thread does not hold the
  // plug-in's lock.
  bool InteractiveNow() const;
  // True while a modal dialog of the plug-in is up (the editor ignores the
  // mouse meanwhile).
  bool ModalDialogShowing() const { return ModalDepth > 0; }
  // The real dialogs for the open editor (X11 windows transient for it, the
  // machine's file chooser); tests give scripted ones.
  virtual std::unique_ptr<TDialogs> CreateDialogs(const TDialogOwner& owner);
  bool AskText(std::string_view caption, std::string_view prompt, std::string& text) override;
  void ShowMessageText(std::string_view text) override;
  // The host's close began: dialogs end, and no window opens from now on.
  void CloseBegins() override;
  // Closing from the host (effClose): waits until the editor thread has
  // left its input handling (its dialogs end at once), then closes.
  void Close() override;

  // ---- value flow
  void UpdateGuiControlNow(std::int32_t index) override;
  // Posts only while an editor window is attached: opening one sets every
  // control from the parameters anyway.
  void UpdateGuiControl(std::int32_t index, bool now) override;
  // The controls' callbacks (window thread).
  void OnGuiControlValueChanged(TSPThemeGUIControl* sender);
  void OnGuiControlGesture(TSPThemeGUIControl* sender, bool begin);
  void GetGuiValueStrings(TSPThemeGUIControl* sender, std::vector<std::string>& strings, std::int32_t& count);
  void GetGuiValueText(TSPThemeGUIControl* sender, std::string& text, float value);
  // Every control takes its parameter's value without telling anyone.
  void SyncGuiControls();

  // ---- editor window (host's editor thread)
  // Answers whether a window is open afterwards: no display, a bad window
  // id or a failed connection answer false and leave the plug-in headless.
  bool EditOpen(void* parentWindow) override;
  void OpenEditorWindow(void* parentWindow) override;
  bool CloseEditorWindow() override;
  void EditorWindowIdle() override;
  TDSPVSTEditorWnd* EditorWindow() const { return EditorWnd.get(); }
  // Why the last open failed.
  const std::string& LastEditorError() const { return EditorError; }
  // The platform window for an editor window (X11; tests give their own).
  virtual std::unique_ptr<TEditorPlatformWindow> CreatePlatformWindow(void* parent, std::int32_t width,
                                                                      std::int32_t height, TWindowListener* listener,
                                                                      std::string* why);

  // The theme every panel and control of the plug-in uses.
  std::int32_t PluginThemeIndex = 0;
  TSPThemeGUILabel* NameLabel = nullptr;

 private:
  class TEditorDispatch;
  class TPluginDialogs;
  friend class TPluginDialogs;
  // Closes the window now (no dispatch running).
  bool CloseEditorWindowNow();
  // Ends the dialogs and waits until no other thread handles editor input.
  void WaitForEditorDispatch();
  // The dialogs of the open editor, made on first use.
  TDialogs& InteractiveDialogs();

  std::unique_ptr<TSPThemeGUIBody> Body;
  std::vector<TSPThemeGUIControl*> Panels;  // the body first; owned by the tree
  // Held while the window opens or closes and while an idle finds it and
  // runs the posted calls (not while the window handles its events: closes
  // then wait for the input handling instead). Guards EditorWnd and
  // EditorError; re-entered when a posted call or a listener opens or
  // closes the window from inside.
  std::recursive_mutex WindowLock;
  std::unique_ptr<TDSPVSTEditorWnd> EditorWnd;
  std::atomic<bool> Attached{false};
  std::atomic<bool> HostClosing{false};  // the host's close began: no window opens
  std::string EditorError;

  // The editor thread's input handling (EditorWindowIdle dispatching the
  // window's events) and the requests that wait for it; DispatchMutex.
  mutable std::mutex DispatchMutex;
  std::condition_variable DispatchEnded;
  std::thread::id DispatchThread;
  std::int32_t DispatchDepth = 0;
  bool CloseDeferred = false;
  std::atomic<bool> DialogsCancelled{false};
  std::int32_t ModalDepth = 0;  // editor thread
  std::unique_ptr<TPluginDialogs> DialogRouter;
  std::unique_ptr<TDialogs> Interactive;  // editor thread, while the editor is open
  std::int32_t SubPresetMenuGroup = -1;   // the group of the menu being shown
  std::vector<std::int32_t> MissingPanelParams;
};
