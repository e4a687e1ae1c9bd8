// Dialogs answered from a script, for tests of what a plug-in does with its
// dialogs: each question takes the next scripted answer (none left: No /
// cancelled), and every call is logged. Each call also checks, from another
// thread, that the plug-in lock is free: a dialog shown under the lock would
// stall the audio thread.
#pragma once

#include <deque>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "framework/base/plugin_lock.h"
#include "gui/dialogs/dialogs.h"

namespace testing_support {

// True when a thread other than the caller holds the plug-in lock (or the
// caller holds it: another thread cannot take it either way); false without
// a lock.
inline bool PluginLockHeld(TPluginLock* lock) {
  if (lock == nullptr) return false;
  return std::async(std::launch::async,
                    [lock] {
                      if (!lock->try_lock()) return true;
                      lock->unlock();
                      return false;
                    })
      .get();
}

class TScriptedDialogs : public TDialogs {
 public:
  void ShowMessage(TMessageKind kind, std::string_view text) override {
    Called();
    Messages.emplace_back(text);
    Log.push_back(std::string(kind == TMessageKind::Error     ? "error: "
                              : kind == TMessageKind::Warning ? "warning: "
                                                              : "message: ") +
                  std::string(text));
  }
  bool ConfirmYesNo(std::string_view text) override {
    Called();
    Log.push_back("confirm: " + std::string(text));
    if (Answers.empty()) return false;
    const bool yes = Answers.front();
    Answers.pop_front();
    return yes;
  }
  bool InputQuery(std::string_view caption, std::string_view prompt, std::string& value) override {
    Called();
    Log.push_back("query: " + std::string(caption) + " / " + std::string(prompt) + " / " + value);
    if (Queries.empty() || !Queries.front()) {
      if (!Queries.empty()) Queries.pop_front();
      return false;
    }
    value = *Queries.front();
    Queries.pop_front();
    return true;
  }
  TChooseResult ChooseFile(const TFileDialogOptions& options, std::string& path) override {
    Called();
    Requests.push_back(options);
    Log.push_back(std::string(options.Save ? "save: " : "open: ") + options.Title);
    if (Files.empty() || !Files.front()) {
      if (!Files.empty()) Files.pop_front();
      return TChooseResult::Cancelled;
    }
    path = *Files.front();
    Files.pop_front();
    return TChooseResult::Chosen;
  }
  bool Cancelled() const override { return CancelledFlag; }

  // Answers, taken in order.
  std::deque<std::optional<std::string>> Queries;  // nullopt: Cancel
  std::deque<bool> Answers;                        // Yes / No
  std::deque<std::optional<std::string>> Files;    // nullopt: Cancel
  // What was asked and shown.
  std::vector<std::string> Log;
  std::vector<std::string> Messages;
  std::vector<TFileDialogOptions> Requests;
  int CallsUnderLock = 0;
  // The plug-in lock each call checks (none: no check).
  TPluginLock* WatchedLock = nullptr;
  bool CancelledFlag = false;
  // Runs inside every call, before it answers (e.g. a close request from
  // another thread while the dialog is up).
  std::function<void()> WhileShowing;

 private:
  void Called() {
    if (PluginLockHeld(WatchedLock)) ++CallsUnderLock;
    if (WhileShowing) WhileShowing();
  }
};

}  // namespace testing_support
