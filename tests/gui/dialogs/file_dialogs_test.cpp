// File dialogs without a display: the filter strings, the external
// choosers' command lines and processes (stand-in programs on PATH), our own
// path-entry dialog's paths, and the rules every chooser shares (default
// extension, overwrite question, files that must exist).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <X11/keysym.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "gui/dialogs/dialogs.h"
#include "gui/dialogs/message_dialogs.h"
#include "tests/gui/support/scripted_dialogs.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::TScriptedDialogs;

std::string Scratch(const std::string& name) { return testing_support::ScratchDir() + "/" + name; }

// An executable shell script.
std::string WriteProgram(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ::chmod(path.c_str(), 0755);
  return path;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// PATH (and the desktop) changed for one test.
class TEnvironment {
 public:
  TEnvironment(const std::string& path, const char* desktop) {
    if (const char* p = std::getenv("PATH")) OldPath = p;
    if (const char* d = std::getenv("XDG_CURRENT_DESKTOP")) OldDesktop = d;
    ::setenv("PATH", path.c_str(), 1);
    if (desktop) ::setenv("XDG_CURRENT_DESKTOP", desktop, 1);
    else ::unsetenv("XDG_CURRENT_DESKTOP");
  }
  ~TEnvironment() {
    ::setenv("PATH", OldPath.c_str(), 1);
    if (OldDesktop) ::setenv("XDG_CURRENT_DESKTOP", OldDesktop->c_str(), 1);
    else ::unsetenv("XDG_CURRENT_DESKTOP");
  }

 private:
  std::string OldPath;
  std::optional<std::string> OldDesktop;
};

TFileDialogOptions BankSave() {
  TFileDialogOptions o;
  o.Save = true;
  o.Title = "Save Sub-Preset Bank";
  o.Filter = "Quilm SP Sub-Presets(*.spf)|*.spf";
  o.DefaultExt = "spf";
  o.InitialDir = "/presets";
  o.FileName = "Reverb";
  o.OverwritePrompt = true;
  return o;
}

TEST(FileDialogs, FiltersAndTheChoosersCommandLines) {
  const auto one = ParseFileFilter("Quilm SP Sub-Presets(*.spf)|*.spf");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].Description, "Quilm SP Sub-Presets(*.spf)");
  EXPECT_EQ(one[0].Patterns, std::vector<std::string>{"*.spf"});
  const auto two = ParseFileFilter("A|*.a; *.b|B|*.c");
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].Patterns, (std::vector<std::string>{"*.a", "*.b"}));
  EXPECT_TRUE(ParseFileFilter("no patterns").empty());

  EXPECT_EQ(InitialPath(BankSave()), "/presets/Reverb");
  TFileDialogOptions open = BankSave();
  open.Save = false;
  open.FileName.clear();
  EXPECT_EQ(InitialPath(open), "/presets/");

  using K = TExternalFileChooser::TKind;
  EXPECT_EQ(
      TExternalFileChooser::Arguments(K::Zenity, BankSave(), 77),
      (std::vector<std::string>{"--file-selection", "--title=Save Sub-Preset Bank", "--save",
                                "--filename=/presets/Reverb", "--file-filter=Quilm SP Sub-Presets(*.spf) | *.spf"}));
  EXPECT_EQ(TExternalFileChooser::Arguments(K::Kdialog, open, 77),
            (std::vector<std::string>{"--title", "Save Sub-Preset Bank", "--attach", "77", "--getopenfilename",
                                      "/presets/", "Quilm SP Sub-Presets(*.spf) (*.spf)"}));
  EXPECT_EQ(TExternalFileChooser::Arguments(K::Kdialog, open, 0)[2], "--getopenfilename") << "no owner: no --attach";
}

TEST(FileDialogs, TheMachinesChooserIsKdialogOnKdeThenZenityThenKdialogThenOurOwn) {
  const std::string both = Scratch("choosers-both"), onlyK = Scratch("choosers-k"), none = Scratch("choosers-none");
  for (const std::string& d : {both, onlyK, none}) ::mkdir(d.c_str(), 0755);
  WriteProgram(both + "/zenity", "exit 0");
  WriteProgram(both + "/kdialog", "exit 0");
  WriteProgram(onlyK + "/kdialog", "exit 0");
  {
    TEnvironment env(both, "GNOME");
    EXPECT_EQ(CreateFileChooser()->Name(), both + "/zenity");
  }
  {
    TEnvironment env(both, "KDE");
    EXPECT_EQ(CreateFileChooser()->Name(), both + "/kdialog");
  }
  {
    TEnvironment env(onlyK, nullptr);
    EXPECT_EQ(CreateFileChooser()->Name(), onlyK + "/kdialog");
  }
  {
    TEnvironment env(none, nullptr);
    EXPECT_EQ(CreateFileChooser()->Name(), "path entry");
  }
}

TEST(FileDialogs, AnExternalChooserGivesItsPathOrCancelsOrFailsAndTheOwnerCanEndIt) {
  const std::string args = Scratch("chooser-args.txt");
  TDialogOwner owner;
  int drains = 0;
  owner.Drain = [&] { ++drains; };
  bool cancel = false;
  owner.Cancelled = [&] { return cancel; };
  std::string path = "unchanged";
  {
    TExternalFileChooser zenity(TExternalFileChooser::TKind::Zenity,
                                WriteProgram(Scratch("zenity-ok"), "printf '%s\\n' \"$@\" > " + args +
                                                                       "\nsleep 0.1\necho '/home/me/My Room.spf'"));
    EXPECT_EQ(zenity.Choose(BankSave(), owner, path), TChooseResult::Chosen);
    EXPECT_EQ(path, "/home/me/My Room.spf");
    EXPECT_EQ(ReadAll(args),
              "--file-selection\n--title=Save Sub-Preset Bank\n--save\n--filename=/presets/Reverb\n"
              "--file-filter=Quilm SP Sub-Presets(*.spf) | *.spf\n");
    EXPECT_GT(drains, 0) << "posted calls keep flowing while the chooser is up";
  }
  path = "unchanged";
  TExternalFileChooser cancelled(TExternalFileChooser::TKind::Kdialog, WriteProgram(Scratch("kd-cancel"), "exit 1"));
  EXPECT_EQ(cancelled.Choose(BankSave(), owner, path), TChooseResult::Cancelled);
  TExternalFileChooser broken(TExternalFileChooser::TKind::Zenity, WriteProgram(Scratch("z-broken"), "exit 255"));
  EXPECT_EQ(broken.Choose(BankSave(), owner, path), TChooseResult::Failed);
  TExternalFileChooser missing(TExternalFileChooser::TKind::Zenity, Scratch("no-such-program"));
  EXPECT_EQ(missing.Choose(BankSave(), owner, path), TChooseResult::Failed);
  EXPECT_EQ(path, "unchanged");

  // The editor closes while the chooser is up: the chooser's process ends
  // at once and nothing is chosen.
  const std::string pidFile = Scratch("chooser-pid.txt");
  TExternalFileChooser hanging(TExternalFileChooser::TKind::Zenity,
                               WriteProgram(Scratch("z-hang"), "echo $$ > " + pidFile + "\nexec sleep 3600"));
  int polls = 0;
  owner.Cancelled = [&] { return ++polls > 20; };
  EXPECT_EQ(hanging.Choose(BankSave(), owner, path), TChooseResult::Cancelled);
  EXPECT_EQ(polls, 21) << "it stops at the first cancelled poll";
  const int pid = std::atoi(ReadAll(pidFile).c_str());
  ASSERT_GT(pid, 0);
  // An hour's sleep is over only because it was ended.
  EXPECT_NE(::kill(pid, 0), 0) << "the chooser's process is gone";
}

TEST(FileDialogs, OurOwnDialogTakesTheTypedPathInTheStartFolder) {
  TFileDialogOptions o = BankSave();
  o.InitialDir = testing_support::ScratchDir();
  EXPECT_EQ(TPathEntryFileChooser::ResolvePath(o, "  Hall  "), o.InitialDir + "/Hall");
  EXPECT_EQ(TPathEntryFileChooser::ResolvePath(o, "/abs/x.spf"), "/abs/x.spf");
  EXPECT_EQ(TPathEntryFileChooser::ResolvePath(o, "~/x.spf"), std::string(std::getenv("HOME")) + "/x.spf");
  EXPECT_EQ(TPathEntryFileChooser::ResolvePath(o, ""), "");
  EXPECT_EQ(TPathEntryFileChooser::ResolvePath(o, o.InitialDir), "") << "a folder names no file";
  auto form = TPathEntryFileChooser::CreateForm(o);
  EXPECT_EQ(form->Caption, "Save Sub-Preset Bank");
  EXPECT_EQ(InputQueryEdit(*form)->Text(), o.InitialDir + "/Reverb");
  form->OnKeyDown({XK_End, {}, 0});
  for (char c : std::string(".spf")) form->OnKeyDown({static_cast<std::uint32_t>(c), std::string(1, c), 0});
  form->OnKeyDown({XK_Return, {}, 0});
  EXPECT_EQ(form->ModalResult, mrOk);
  EXPECT_EQ(InputQueryEdit(*form)->Text(), o.InitialDir + "/Reverb.spf");
}

TEST(FileDialogs, ExtensionsOverwriteQuestionsAndMissingFilesAsUsersKnowThem) {
  const std::string dir = testing_support::ScratchDir();
  TFileDialogOptions save = BankSave();
  std::string path;
  {
    TScriptedDialogs d;
    d.Files = {dir + "/Room"};
    ASSERT_TRUE(ExecuteFileDialog(d, save, path));
    EXPECT_EQ(path, dir + "/Room.spf");
    d.Files = {dir + "/Room 1.5"};
    ASSERT_TRUE(ExecuteFileDialog(d, save, path));
    EXPECT_EQ(path, dir + "/Room 1.5.spf") << "a dot in the name is no extension of the filter";
    d.Files = {dir + "/Loud.SPF"};
    ASSERT_TRUE(ExecuteFileDialog(d, save, path));
    EXPECT_EQ(path, dir + "/Loud.SPF");
  }
  const std::string existing = dir + "/Existing.spf";
  std::ofstream(existing) << "x";
  {
    // No: back to the chooser; the second choice is free.
    TScriptedDialogs d;
    d.Files = {existing, dir + "/Fresh"};
    d.Answers = {false};
    ASSERT_TRUE(ExecuteFileDialog(d, save, path));
    EXPECT_EQ(path, dir + "/Fresh.spf");
    EXPECT_EQ(d.Log, (std::vector<std::string>{"save: Save Sub-Preset Bank",
                                               "confirm: Existing.spf already exists.\nDo you want to replace it?",
                                               "save: Save Sub-Preset Bank"}));
  }
  {
    TScriptedDialogs d;
    d.Files = {existing};
    d.Answers = {true};
    ASSERT_TRUE(ExecuteFileDialog(d, save, path));
    EXPECT_EQ(path, existing);
  }
  {
    // Opening: a file that is not there is said so, then the chooser again.
    TFileDialogOptions open = save;
    open.Save = false;
    open.OverwritePrompt = false;
    open.FileMustExist = true;
    TScriptedDialogs d;
    d.Files = {dir + "/Missing", std::nullopt};
    EXPECT_FALSE(ExecuteFileDialog(d, open, path));
    ASSERT_EQ(d.Messages.size(), 1u);
    EXPECT_EQ(d.Messages[0], dir + "/Missing.spf\nFile not found.\nCheck the file name and try again.");
    EXPECT_EQ(d.Requests.size(), 2u);
  }
  {
    TScriptedDialogs d;
    d.CancelledFlag = true;  // the editor went away
    d.Files = {dir + "/Room"};
    EXPECT_FALSE(ExecuteFileDialog(d, save, path));
    EXPECT_TRUE(d.Requests.empty());
  }
}

}  // namespace
