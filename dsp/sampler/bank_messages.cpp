#include "dsp/sampler/bank_messages.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<TBankMessageHook> g_hook{nullptr};
}  // namespace

void ReportBankMessage(TBankMessageKind kind, std::string_view text) {
  if (TBankMessageHook hook = g_hook.load(std::memory_order_acquire)) {
    hook(kind, text);
    return;
  }
  std::fprintf(stderr, "%s: %.*s\n", kind == TBankMessageKind::Error ? "Error" : "Information",
               static_cast<int>(text.size()), text.data());
}

TBankMessageHook SetBankMessageHook(TBankMessageHook hook) {
  return g_hook.exchange(hook, std::memory_order_acq_rel);
}
