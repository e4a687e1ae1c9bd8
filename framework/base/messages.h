// The message routines. A message that the user must see goes through
// ShowMessage: while the thread that reports it is handling the user's input
// in an open editor (a TMessageSinkScope is active there), it is shown as a
// dialog by that scope's sink; everywhere else (no display, no editor, a
// host call, loading, construction, the audio thread, tests) it takes the
// non-interactive path: stderr and the optional hook. Nothing here waits
// for a user unless a sink was installed on the calling thread, and a sink
// is installed only where no lock is held.
#pragma once

#include <string_view>

enum class TMessageKind { Information, Warning, Error };

// Receives every text reported on the non-interactive path; runs on the
// reporting thread.
using TErrorReportHook = void (*)(std::string_view text);

// The non-interactive path: writes text (in its printable form, see
// printable_text.h) and a line end to stderr, then calls the hook with the
// text as given, if one is set. Never blocks; any thread.
void ReportError(std::string_view text);

// Installs hook (null removes it) and answers the previous one.
TErrorReportHook SetErrorReportHook(TErrorReportHook hook);

// Shows messages to the user, e.g. as a modal dialog on the editor's window.
class TMessageSink {
 public:
  virtual ~TMessageSink() = default;
  virtual void ShowMessage(TMessageKind kind, std::string_view text) = 0;
};

// For its lifetime, messages shown on the constructing thread go to sink
// (null: the non-interactive path). Scopes nest; each restores the one it
// replaced. Create and destroy it on the same thread.
class TMessageSinkScope {
 public:
  explicit TMessageSinkScope(TMessageSink* sink);
  ~TMessageSinkScope();
  TMessageSinkScope(const TMessageSinkScope&) = delete;
  TMessageSinkScope& operator=(const TMessageSinkScope&) = delete;

 private:
  TMessageSink* Previous;
};

// The sink of the calling thread's innermost scope, or null.
TMessageSink* CurrentMessageSink();

// The message routine: the calling thread's sink when it has one, else
// ReportError.
void ShowMessage(TMessageKind kind, std::string_view text);
