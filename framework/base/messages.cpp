#include "framework/base/messages.h"

#include <atomic>
#include <cstdio>

#include "framework/base/printable_text.h"

namespace {
std::atomic<TErrorReportHook> gHook{nullptr};
thread_local TMessageSink* tSink = nullptr;
}  // namespace

void ReportError(std::string_view text) {
  // Names read from files reach these texts: printed in a form that cannot
  // drive the terminal, one message as one write sequence.
  flockfile(stderr);
  ForEachPrintablePiece(text, [](const char* data, std::size_t size) { fwrite_unlocked(data, 1, size, stderr); });
  fputc_unlocked('\n', stderr);
  fflush_unlocked(stderr);
  funlockfile(stderr);
  if (const TErrorReportHook hook = gHook.load()) hook(text);
}

TErrorReportHook SetErrorReportHook(TErrorReportHook hook) { return gHook.exchange(hook); }

TMessageSinkScope::TMessageSinkScope(TMessageSink* sink) : Previous(tSink) { tSink = sink; }

TMessageSinkScope::~TMessageSinkScope() { tSink = Previous; }

TMessageSink* CurrentMessageSink() { return tSink; }

void ShowMessage(TMessageKind kind, std::string_view text) {
  if (TMessageSink* sink = tSink) sink->ShowMessage(kind, text);
  else ReportError(text);
}
