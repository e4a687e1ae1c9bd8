#include "dsp/sampler/bank_messages.h"

#include <atomic>

#include "framework/base/messages.h"

namespace {
std::atomic<TBankMessageHook> g_hook{nullptr};
}  // namespace

void ReportBankMessage(TBankMessageKind kind, std::string_view text) {
  if (TBankMessageHook hook = g_hook.load(std::memory_order_acquire)) {
    hook(kind, text);
    return;
  }
  ShowMessage(kind == TBankMessageKind::Error ? TMessageKind::Error : TMessageKind::Information, text);
}

TBankMessageHook SetBankMessageHook(TBankMessageHook hook) { return g_hook.exchange(hook, std::memory_order_acq_rel); }
