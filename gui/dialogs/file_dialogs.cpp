#include "gui/dialogs/file_dialogs.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "framework/base/streams.h"
#include "gui/dialogs/message_dialogs.h"
#include "platform/x11/platform_window.h"

extern char** environ;

namespace {

std::vector<std::string> SplitList(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

std::string JoinPatterns(const TFileFilter& f, const char* separator) {
  std::string out;
  for (const std::string& p : f.Patterns) out += (out.empty() ? "" : separator) + p;
  return out;
}

// The child's output so far, read without blocking.
void ReadAvailable(int fd, std::string& out) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      // A path, never megabytes: stop collecting beyond a sane size.
      if (out.size() < 65536) out.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

// Ends the child: a polite signal, then a firm one if it lingers.
void EndChild(pid_t pid) {
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace

std::vector<TFileFilter> ParseFileFilter(std::string_view filter) {
  std::vector<TFileFilter> out;
  const std::vector<std::string> parts = SplitList(filter, '|');
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    TFileFilter f;
    f.Description = TrimText(parts[i]);
    for (const std::string& p : SplitList(parts[i + 1], ';')) {
      const std::string pattern = TrimText(p);
      if (!pattern.empty()) f.Patterns.push_back(pattern);
    }
    if (!f.Patterns.empty()) out.push_back(std::move(f));
  }
  return out;
}

std::string InitialPath(const TFileDialogOptions& options) {
  std::string folder = options.InitialDir;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + options.FileName;
}

std::vector<std::string> TExternalFileChooser::Arguments(TKind kind, const TFileDialogOptions& options,
                                                         unsigned long parentWindow) {
  const std::vector<TFileFilter> filters = ParseFileFilter(options.Filter);
  std::vector<std::string> args;
  if (kind == TKind::Zenity) {
    args.push_back("--file-selection");
    args.push_back("--title=" + options.Title);
    if (options.Save) args.push_back("--save");
    args.push_back("--filename=" + InitialPath(options));
    for (const TFileFilter& f : filters)
      args.push_back("--file-filter=" + f.Description + " | " + JoinPatterns(f, " "));
    return args;
  }
  args.push_back("--title");
  args.push_back(options.Title);
  if (parentWindow != 0) {
    args.push_back("--attach");
    args.push_back(std::to_string(parentWindow));
  }
  args.push_back(options.Save ? "--getsavefilename" : "--getopenfilename");
  args.push_back(InitialPath(options));
  std::string filterText;
  for (const TFileFilter& f : filters)
    filterText += (filterText.empty() ? "" : "\n") + f.Description + " (" + JoinPatterns(f, " ") + ")";
  if (!filterText.empty()) args.push_back(filterText);
  return args;
}

TChooseResult TExternalFileChooser::Choose(const TFileDialogOptions& options, const TDialogOwner& owner,
                                           std::string& path) {
  const unsigned long parent = owner.Window != nullptr ? owner.Window->TopLevelHandle() : 0;
  std::vector<std::string> args = Arguments(Kind, options, parent);
  args.insert(args.begin(), Program);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return TChooseResult::Failed;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // Nothing of the host (audio devices, sockets) goes to the chooser.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, Program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return TChooseResult::Failed;
  }
  ::fcntl(pipeFds[0], F_SETFL, ::fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);

  std::string output;
  bool exited = false, reaped = true;
  int status = 0;
  auto cancelled = [&] { return owner.Cancelled && owner.Cancelled(); };
  auto done = [&] {
    ReadAvailable(pipeFds[0], output);
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) exited = true;
    // A host that ignores SIGCHLD has the child reaped for it: no status.
    if (r < 0 && errno == ECHILD) exited = true, reaped = false;
    return exited || cancelled();
  };
  // The editor keeps repainting while the chooser is up (its input is
  // ignored meanwhile: the chooser is modal for the user).
  bool waited = false;
  if (owner.Window != nullptr && owner.Window->IsOpen()) waited = owner.Window->RunModalLoop(done, owner.Drain);
  if (!waited) {
    while (!done()) {
      if (owner.Window != nullptr && !owner.Window->IsOpen()) break;  // the editor went away
      if (owner.Drain) owner.Drain();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (!exited) {
    EndChild(pid);
    ::close(pipeFds[0]);
    return TChooseResult::Cancelled;
  }
  ReadAvailable(pipeFds[0], output);
  ::close(pipeFds[0]);
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  const bool chosen = reaped ? WIFEXITED(status) && WEXITSTATUS(status) == 0 : !output.empty();
  if (chosen && !output.empty() && output.find('\n') == std::string::npos) {
    path = output;
    return TChooseResult::Chosen;
  }
  // 1 is the chooser's "cancelled"; anything else means it could not work
  // (no display for it, an option it does not know, not found).
  if (reaped && WIFEXITED(status) && WEXITSTATUS(status) == 1) return TChooseResult::Cancelled;
  if (!reaped) return TChooseResult::Cancelled;
  return TChooseResult::Failed;
}

std::unique_ptr<TXPForm> TPathEntryFileChooser::CreateForm(const TFileDialogOptions& options) {
  auto form = std::make_unique<TXPForm>();
  form->Caption = options.Title;
  form->Font = DialogFont("Arial", 8);
  const TSize units = DialogUnits(form->Font);
  const int margin = units.Width * 2, lineHeight = units.Height + 2;
  form->ClientWidth = std::max(360, units.Width * 60);
  const int inner = form->ClientWidth - 2 * margin;

  TXPLabel& label = form->Add<TXPLabel>();
  label.Caption = options.Save ? "Save as:" : "File name:";
  label.SetBounds(margin, margin, inner, lineHeight);
  TXPEdit& edit = form->Add<TXPEdit>();
  edit.MaxLength = 4096;
  edit.SetBounds(margin, label.Top + lineHeight + 2, inner, units.Height + 8);
  edit.SetText(InitialPath(options));
  int y = edit.Top + edit.Height + 6;
  const std::vector<TFileFilter> filters = ParseFileFilter(options.Filter);
  if (!filters.empty()) {
    TXPLabel& type = form->Add<TXPLabel>();
    type.Caption = "Files of type: " + filters.front().Description;
    type.SetBounds(margin, y, inner, lineHeight);
    y += lineHeight + 4;
  }
  const int buttonWidth = units.Width * 25 / 2, buttonHeight = units.Height * 14 / 8;
  const TFontHandle buttonFont = DialogFont("Arial", 8, true);
  auto addButton = [&](std::string_view caption, std::int32_t result, int left) -> TXPSpeedButton& {
    TXPSpeedButton& b = form->Add<TXPSpeedButton>();
    b.Caption = std::string(caption);
    b.ModalResult = result;
    b.BorderSolid = true;
    b.GradientStyle = fdLNW;
    b.FontResize = true;
    b.Font = buttonFont;
    b.SetBounds(left, y + 6, buttonWidth, buttonHeight);
    return b;
  };
  const int right = form->ClientWidth - margin;
  addButton(options.Save ? "&Save" : "&Open", mrOk, right - 2 * buttonWidth - units.Width).Default = true;
  addButton(kMsgDlgButtonCaptions[mbCancel], mrCancel, right - buttonWidth).Cancel = true;
  form->ClientHeight = y + 6 + buttonHeight + margin;
  form->SetFocus(&edit);
  return form;
}

std::string TPathEntryFileChooser::ResolvePath(const TFileDialogOptions& options, std::string_view typed) {
  std::string text = TrimText(typed);
  if (text.empty()) return {};
  if (text == "~" || text.rfind("~/", 0) == 0) {
    const char* home = std::getenv("HOME");
    text = std::string(home ? home : "") + text.substr(1);
  } else if (text.front() != '/') {
    std::string folder = options.InitialDir.empty() ? "." : options.InitialDir;
    if (folder.back() != '/') folder += '/';
    text = folder + text;
  }
  // A folder names no file.
  if (text.back() == '/') return {};
  struct stat st {};
  if (::stat(text.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return text;
}

TChooseResult TPathEntryFileChooser::Choose(const TFileDialogOptions& options, const TDialogOwner& owner,
                                            std::string& path) {
  std::unique_ptr<TXPForm> form = CreateForm(options);
  const std::int32_t result = form->ShowModal(owner);
  if (result == kModalNotShown) return TChooseResult::Failed;
  if (result != mrOk) return TChooseResult::Cancelled;
  const std::string resolved = ResolvePath(options, InputQueryEdit(*form)->Text());
  if (resolved.empty()) return TChooseResult::Cancelled;
  path = resolved;
  return TChooseResult::Chosen;
}

std::string FindProgramOnPath(std::string_view name) {
  const char* pathVar = std::getenv("PATH");
  if (pathVar == nullptr || name.empty() || name.find('/') != std::string_view::npos) return {};
  for (const std::string& dir : SplitList(pathVar, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + std::string(name);
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

std::unique_ptr<TFileChooser> CreateFileChooser() {
  const std::string zenity = FindProgramOnPath("zenity"), kdialog = FindProgramOnPath("kdialog");
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  const bool kde = desktop != nullptr && std::strstr(desktop, "KDE") != nullptr;
  if (!kdialog.empty() && (kde || zenity.empty()))
    return std::make_unique<TExternalFileChooser>(TExternalFileChooser::TKind::Kdialog, kdialog);
  if (!zenity.empty()) return std::make_unique<TExternalFileChooser>(TExternalFileChooser::TKind::Zenity, zenity);
  return std::make_unique<TPathEntryFileChooser>();
}
