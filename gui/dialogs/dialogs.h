// The dialogs a plug-in shows, behind one interface: real windows while the
// editor handles the user's input (TWindowDialogs), the non-interactive
// routines everywhere else (TNonInteractiveDialogs: messages to stderr,
// questions answered no, queries and file dialogs cancelled), and scripted
// answers in tests. A TDialogs is also the message sink that the message
// routines (framework/base/messages.h) use on its thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "framework/base/messages.h"
#include "gui/dialogs/file_dialogs.h"
#include "gui/dialogs/xp_controls.h"

class TDialogs : public TMessageSink {
 public:
  // Information, warning or error with an OK button.
  void ShowMessage(TMessageKind kind, std::string_view text) override = 0;
  // Yes (true) or No.
  virtual bool ConfirmYesNo(std::string_view text) = 0;
  // True with value := the entered text; value unchanged otherwise.
  virtual bool InputQuery(std::string_view caption, std::string_view prompt, std::string& value) = 0;
  // The path a chooser picked (no extension added, nothing checked yet).
  virtual TChooseResult ChooseFile(const TFileDialogOptions& options, std::string& path) = 0;
  // True once the dialogs' owner went away (the editor closing): every
  // question since answered no and every query cancelled, and the caller
  // should stop what it was doing.
  virtual bool Cancelled() const { return false; }
};

// Open and save dialogs as users know them: the chooser's path gets the
// default extension unless it ends in that one or one the filter lists; saving over an existing file asks
// first (No returns to the chooser); opening a file that does not exist
// says so and returns to the chooser. True with path set when a file was
// chosen.
bool ExecuteFileDialog(TDialogs& dialogs, const TFileDialogOptions& options, std::string& path);

// Real dialogs on the owner's display. An external chooser that fails gives
// way to our own path-entry dialog.
class TWindowDialogs : public TDialogs {
 public:
  TWindowDialogs(TDialogOwner owner, std::unique_ptr<TFileChooser> chooser);
  void ShowMessage(TMessageKind kind, std::string_view text) override;
  bool ConfirmYesNo(std::string_view text) override;
  bool InputQuery(std::string_view caption, std::string_view prompt, std::string& value) override;
  TChooseResult ChooseFile(const TFileDialogOptions& options, std::string& path) override;
  bool Cancelled() const override;

 private:
  TDialogOwner Owner;
  std::unique_ptr<TFileChooser> Chooser;
};

// Nothing waits for a user: messages go to ReportError.
class TNonInteractiveDialogs : public TDialogs {
 public:
  void ShowMessage(TMessageKind kind, std::string_view text) override;
  bool ConfirmYesNo(std::string_view /*text*/) override { return false; }
  bool InputQuery(std::string_view, std::string_view, std::string&) override { return false; }
  TChooseResult ChooseFile(const TFileDialogOptions&, std::string&) override { return TChooseResult::Cancelled; }
};
