#include "gui/dialogs/dialogs.h"

#include <cctype>

#include "framework/base/file_names.h"
#include "gui/dialogs/message_dialogs.h"

namespace {

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The chosen name already ends in the default extension or one the filter
// lists ("Room 1.5" does not: it gets ".spi" added).
bool HasAcceptedExtension(const std::string& path, const TFileDialogOptions& options) {
  const std::string ext = FileExtLower(path);
  if (ext.empty()) return false;
  if (ext == "." + Lower(options.DefaultExt)) return true;
  for (const TFileFilter& filter : ParseFileFilter(options.Filter))
    for (const std::string& pattern : filter.Patterns)
      if (pattern == "*" || pattern == "*.*" || Lower(pattern) == "*" + ext) return true;
  return false;
}

TMsgDlgType DialogTypeOf(TMessageKind kind) {
  switch (kind) {
    case TMessageKind::Warning:
      return TMsgDlgType::mtWarning;
    case TMessageKind::Error:
      return TMsgDlgType::mtError;
    default:
      return TMsgDlgType::mtInformation;
  }
}

}  // namespace

bool ExecuteFileDialog(TDialogs& dialogs, const TFileDialogOptions& options, std::string& path) {
  // Each refusal returns to the chooser; the user ends it with Cancel.
  for (;;) {
    std::string chosen;
    if (dialogs.Cancelled() || dialogs.ChooseFile(options, chosen) != TChooseResult::Chosen || chosen.empty())
      return false;
    if (!options.DefaultExt.empty() && !HasAcceptedExtension(chosen, options)) chosen += "." + options.DefaultExt;
    if (options.Save && options.OverwritePrompt && FileExists(chosen) &&
        !dialogs.ConfirmYesNo(BaseName(chosen) + " already exists.\nDo you want to replace it?")) {
      if (dialogs.Cancelled()) return false;
      continue;
    }
    if (!options.Save && options.FileMustExist && !FileExists(chosen)) {
      dialogs.ShowMessage(TMessageKind::Warning, chosen + "\nFile not found.\nCheck the file name and try again.");
      if (dialogs.Cancelled()) return false;
      continue;
    }
    path = chosen;
    return true;
  }
}

TWindowDialogs::TWindowDialogs(TDialogOwner owner, std::unique_ptr<TFileChooser> chooser)
    : Owner(std::move(owner)), Chooser(std::move(chooser)) {}

bool TWindowDialogs::Cancelled() const { return Owner.Cancelled && Owner.Cancelled(); }

void TWindowDialogs::ShowMessage(TMessageKind kind, std::string_view text) {
  if (Cancelled() || MessageDlg(Owner, text, DialogTypeOf(kind), MsgButtons({mbOK})) == kModalNotShown)
    ReportError(text);
}

bool TWindowDialogs::ConfirmYesNo(std::string_view text) { return !Cancelled() && ::ConfirmYesNo(Owner, text); }

bool TWindowDialogs::InputQuery(std::string_view caption, std::string_view prompt, std::string& value) {
  return !Cancelled() && ::InputQuery(Owner, caption, prompt, value);
}

TChooseResult TWindowDialogs::ChooseFile(const TFileDialogOptions& options, std::string& path) {
  if (Cancelled()) return TChooseResult::Cancelled;
  TChooseResult result = Chooser ? Chooser->Choose(options, Owner, path) : TChooseResult::Failed;
  if (result == TChooseResult::Failed && !Cancelled()) {
    // The external chooser could not run: our own dialog instead.
    TPathEntryFileChooser own;
    result = own.Choose(options, Owner, path);
  }
  return result;
}

void TNonInteractiveDialogs::ShowMessage(TMessageKind /*kind*/, std::string_view text) { ReportError(text); }
