// File open and save dialogs behind one interface: an external chooser when
// one is installed (zenity, or kdialog, preferred on a KDE desktop), our own
// path-entry dialog otherwise; tests give a scripted one. A chooser only
// picks a path: the default extension, the overwrite question and the check
// that an opened file exists belong to ExecuteFileDialog (dialogs.h), so
// every chooser behaves alike.
//
// Threads: the host's editor thread, without the plug-in's lock. While an
// external chooser runs, the editor's window keeps repainting and the posted
// calls keep flowing; a cancel from the owner (the editor closing) ends the
// chooser's process.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gui/dialogs/xp_controls.h"

struct TFileDialogOptions {
  bool Save = false;
  std::string Title;
  // "Description|*.ext" pairs, '|' between them, patterns separated by ';'.
  std::string Filter;
  // Added (with its dot) to a chosen name that has no extension.
  std::string DefaultExt;
  // The folder the dialog starts in and the file name it proposes.
  std::string InitialDir;
  std::string FileName;
  // Save: ask before replacing a file. Open: the file must exist.
  bool OverwritePrompt = false;
  bool FileMustExist = false;
};

struct TFileFilter {
  std::string Description;
  std::vector<std::string> Patterns;  // "*.spf"
};
// The pairs of a filter string; a description without patterns is dropped.
std::vector<TFileFilter> ParseFileFilter(std::string_view filter);

// The path the dialog starts with: the folder joined with the proposed name
// (the folder alone, with its '/', when there is no name).
std::string InitialPath(const TFileDialogOptions& options);

enum class TChooseResult { Chosen, Cancelled, Failed };

class TFileChooser {
 public:
  virtual ~TFileChooser() = default;
  // Chosen (path set), Cancelled (the user, or the owner, cancelled) or
  // Failed (the chooser could not be shown).
  virtual TChooseResult Choose(const TFileDialogOptions& options, const TDialogOwner& owner, std::string& path) = 0;
  virtual std::string Name() const = 0;
};

// zenity or kdialog, run as a process whose standard output is the path.
class TExternalFileChooser : public TFileChooser {
 public:
  enum class TKind { Zenity, Kdialog };
  TExternalFileChooser(TKind kind, std::string program) : Kind(kind), Program(std::move(program)) {}
  // The program's arguments (without its name) for options; parentWindow
  // (an X window id, 0 for none) keeps kdialog above the editor.
  static std::vector<std::string> Arguments(TKind kind, const TFileDialogOptions& options, unsigned long parentWindow);
  TChooseResult Choose(const TFileDialogOptions& options, const TDialogOwner& owner, std::string& path) override;
  std::string Name() const override { return Program; }

 private:
  TKind Kind;
  std::string Program;
};

// Our own dialog: the title, a line to type the path into (it starts as
// the folder and proposed name), the filter's description, and Open or
// Save and Cancel. A name without a folder is taken in the start folder;
// "~/" is the home folder.
class TPathEntryFileChooser : public TFileChooser {
 public:
  static std::unique_ptr<TXPForm> CreateForm(const TFileDialogOptions& options);
  // The path the form's text names (empty when there is none).
  static std::string ResolvePath(const TFileDialogOptions& options, std::string_view typed);
  TChooseResult Choose(const TFileDialogOptions& options, const TDialogOwner& owner, std::string& path) override;
  std::string Name() const override { return "path entry"; }
};

// The program's full path when it is an executable on PATH, else "".
std::string FindProgramOnPath(std::string_view name);
// The chooser for this machine: kdialog on a KDE desktop, else zenity, else
// kdialog, else our own dialog.
std::unique_ptr<TFileChooser> CreateFileChooser();
