#include "framework/base/messages.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<TErrorReportHook> gHook{nullptr};
thread_local TMessageSink* tSink = nullptr;
}  // namespace

void ReportError(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
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
