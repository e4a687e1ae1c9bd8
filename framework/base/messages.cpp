#include "framework/base/messages.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<TErrorReportHook> gHook{nullptr};
}  // namespace

void ReportError(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
  if (const TErrorReportHook hook = gHook.load()) hook(text);
}

TErrorReportHook SetErrorReportHook(TErrorReportHook hook) { return gHook.exchange(hook); }
