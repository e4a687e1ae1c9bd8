#include "framework/modules/prepared_change.h"

namespace {
thread_local TBuildSink* Sink = nullptr;
}  // namespace

TBuildSink* CurrentBuildSink() { return Sink; }

TBuildMode CurrentBuildMode() { return Sink != nullptr ? Sink->Mode() : TBuildMode::Inline; }

TBuildSinkScope::TBuildSinkScope(TBuildSink* sink) : Previous(Sink) { Sink = sink; }

TBuildSinkScope::~TBuildSinkScope() { Sink = Previous; }

void RunPreparedChangeNow(TPreparedChange& change) {
  if (change.TakeRequest()) {
    change.Build();
    change.Install();
  }
  change.Release();
}

void RequestPreparedChange(TPreparedChange& change) {
  if (Sink != nullptr && Sink->Mode() != TBuildMode::Inline) Sink->Queue(change);
  else RunPreparedChangeNow(change);
}
