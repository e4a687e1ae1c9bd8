// The loop walks of the module graph: resolving connections and finding the
// cycles among them, numbering the modules on loops, building the member
// list of every loop behind a one-sample delay, and fusing chains of
// components. They run while a graph is prepared, never per sample.

#include <algorithm>

#include "framework/modules/one_sample_delay.h"
#include "framework/modules/signal_processor.h"
#include "framework/modules/sp_base.h"

namespace {

bool Contains(const std::vector<const TSPBAse*>& modules, const TSPBAse* module) {
  return std::find(modules.begin(), modules.end(), module) != modules.end();
}

// Fusion starts at the first entry whose module offers it.
void FuseList(std::vector<TSPProcessEntry>& list, std::int32_t voice, bool final) {
  for (const TSPProcessEntry& entry : list)
    if (entry.Module && entry.Module->Fusable) {
      entry.Module->FuseChain(list, voice, final);
      return;
    }
}

TDSPControl* ComponentOf(const TSPProcessEntry& entry, std::int32_t voice) {
  const auto* processor = dynamic_cast<const TSignalProcessor*>(entry.Module);
  return processor ? processor->VoiceControl(voice) : nullptr;
}

}  // namespace

// Resolving and marking.

bool TSPBAse::ResolveConnections(std::int32_t /*pin*/, bool flag) {
  if (Visiting) {
    // Back at a module on the walk's own path: a loop.
    if (flag && !PerVoiceResolved) StopAtVisit = true;
    FeedbackFound = true;
    return true;
  }
  if (Bypassed) {
    Enabled = false;
    return false;
  }
  Enabled = true;
  if (ResolveCount != 0) return ResolveResult;
  InLoop = false;
  LinkFeedbackFound = false;
  PerVoiceResolved = flag;
  for (auto& pin : InputPins) {
    pin->ClearFlags();
    if (!pin->Connections.empty()) {
      pin->Connections[0].ResolvedModule = pin->Connections[0].Module;
      pin->Connections[0].ResolvedPin = pin->Connections[0].OtherPin;
    }
  }
  ++ResolveCount;
  bool result = false;
  for (std::int32_t i = 0; i < InputCount; ++i) {
    TSPConnectionRec* walkable = WalkableConnection(i);
    if (!walkable) continue;
    TSPConnectionRec& c = *walkable;
    TSPPinRec* pin = InputPin(i);
    TSPBAse* module = c.Module;
    std::uint16_t resolvedPin = c.OtherPin;
    if (!c.Module->GetRealSource(module, resolvedPin, VoiceCount)) continue;
    TSPPinRec* output = module->OutputPin(resolvedPin);
    if (!output) continue;
    c.ResolvedModule = module;
    c.ResolvedPin = resolvedPin;
    pin->Resolved = pin->ResolvedTarget = true;
    output->Resolved = output->ResolvedTarget = true;
    Visiting = true;
    if (module->ResolveConnections(resolvedPin, flag)) {
      output->OnPath = output->Upstream = true;
      ++output->PathCount;
      c.Module->MarkUpstreamTo(module, resolvedPin);
      pin->OnPath = pin->Upstream = true;
      InLoop = true;
      result = true;
      c.SourcePin = resolvedPin;
    }
    Visiting = false;
  }
  ResolveResult = result;
  return result;
}

void TSPBAse::MarkUpstreamTo(TSPBAse* module, std::int32_t pin) {
  if (this == module) return;
  for (auto& input : InputPins) {
    // An input marked already has been walked: in a cycle that does not
    // pass the module the walk would otherwise never end.
    if (input->Connections.empty() || input->Upstream) continue;
    input->Upstream = true;
    input->Connections[0].Module->MarkUpstreamTo(module, pin);
  }
}

bool TSPBAse::MarkFeedbackPath(TSPBAse* target, std::int32_t pin, std::int32_t& depth) {
  if (this == target && depth > 0) return true;
  if (Visiting) return false;
  ++depth;
  bool any = false;
  for (std::int32_t i = 0; i < InputCount; ++i) {
    TSPPinRec* input = InputPin(i);
    if (!input || !input->ResolvedTarget || input->Connections.empty()) continue;
    Visiting = true;
    const bool reaches = input->Connections[0].Module->MarkFeedbackPath(target, pin, depth);
    Visiting = false;
    if (reaches) {
      input->Marked = true;
      any = true;
    }
  }
  return any;
}

bool TSPBAse::DetectFeedback() {
  std::vector<const TSPBAse*> path, done;
  return FindDownstreamLoop(path, done);
}

bool TSPBAse::FindDownstreamLoop(std::vector<const TSPBAse*>& path, std::vector<const TSPBAse*>& done) {
  if (Bypassed) return false;
  if (Contains(path, this)) return true;
  if (Contains(done, this)) return false;  // walked already: no loop through it
  path.push_back(this);
  for (const auto& output : OutputPins)
    for (const TSPConnectionRec& c : output->Connections)
      if (c.Module->FindDownstreamLoop(path, done)) {
        path.pop_back();
        return true;
      }
  path.pop_back();
  done.push_back(this);
  return false;
}

void TSPBAse::CheckConnections() {
  Visiting = false;
  WalkConnections(0, 0, nullptr);
}

bool TSPBAse::WalkConnections(std::int32_t pin, std::int32_t /*sourceOutput*/, TSPBAse* module) {
  if (Visiting) {
    LoopModuleName = ShortName;
    LinkFeedbackFound = true;
    if (module) module->MarkFeedbackInput(pin);
    return true;
  }
  LoopModuleName.clear();
  const bool foundBefore = LinkFeedbackFound;
  LinkFeedbackFound = false;
  bool result = false;
  for (std::int32_t i = 0; i < InputCount; ++i) {
    const TSPPinRec* input = InputPin(i);
    if (!input || !input->Resolved || input->Connections.empty()) continue;
    TSPBAse* source = input->Connections[0].ResolvedModule;
    if (!source) continue;
    Visiting = true;
    const bool onLoop = source->WalkConnections(i, input->Connections[0].ResolvedPin, this);
    Visiting = false;
    // The name travels back to the module the walk started from.
    if (source != this && !source->LoopModuleName.empty()) LoopModuleName = source->LoopModuleName;
    result |= onLoop;
  }
  const bool closedHere = LinkFeedbackFound;
  if (closedHere) LoopModuleName = ShortName;
  LinkFeedbackFound = foundBefore || closedHere;
  // The loop closed here: the modules downstream are not on it.
  return closedHere ? false : result;
}

bool TSPBAse::ReachesModule(TSPBAse* module) {
  std::vector<const TSPBAse*> seen;
  return Reaches(module, seen);
}

bool TSPBAse::Reaches(TSPBAse* module, std::vector<const TSPBAse*>& seen) {
  if (this == module) return true;
  if (Contains(seen, this)) return false;  // Marked inputs form loops
  seen.push_back(this);
  for (const auto& input : InputPins)
    if (input->Marked && !input->Connections.empty() && input->Connections[0].Module->Reaches(module, seen))
      return true;
  return false;
}

// Lists.

void TSPBAse::NumberModules() {
  ProcessList.clear();
  std::int32_t counter = 0;
  BuildNumberedList(this, 0, counter, ProcessList, 0);
  BuildLoops(ProcessList, 0);
}

bool TSPBAse::BuildNumberedList(TSPBAse* start, std::int32_t pin, std::int32_t& counter,
                                std::vector<TSPProcessEntry>& list, std::int32_t voice) {
  if (!Enabled) return false;
  if (InLoop && ModuleNumber == -1) ModuleNumber = counter++;
  // Voices at or beyond VoiceCount have no record.
  TSPVisitRec* record = VisitRecord(NumberVisits, pin, voice);
  if (!record) return false;
  if (record->Busy) return true;  // a cycle
  if (record->Count != 0) return record->Result;
  ++record->Count;
  bool result = false;
  for (std::int32_t i = 0; i < InputCount; ++i) {
    const TSPPinRec* input = InputPin(i);
    if (!input || !input->Resolved || !input->OnPath || input->Connections.empty()) continue;
    const TSPConnectionRec& c = input->Connections[0];
    if (!c.ResolvedModule) continue;
    record->Busy = true;
    result |= c.ResolvedModule->BuildNumberedList(start, c.ResolvedPin, counter, list, voice);
    record->Busy = false;
  }
  if (InLoop) {
    TMethod<void()> method;
    if (GetVoiceBlockMethod(method, voice)) list.push_back({method, this, false, false});
  }
  record->Result = result;
  return result;
}

bool TSPBAse::BuildProcessList(TSPBAse* target, std::int32_t pin, std::vector<TSPProcessEntry>& list,
                               std::int32_t voice) {
  if (!Enabled) return false;
  TSPVisitRec* record = VisitRecord(ProcessVisits, pin, voice);
  if (!record) return false;
  if (StopAtVisit || record->Busy) return true;
  if (this == target && record->Count != 0) return true;
  if (record->Count != 0) return record->Result;
  ++record->Count;
  bool result = false;
  for (std::int32_t i = 0; i < InputCount; ++i) {
    const TSPPinRec* input = InputPin(i);
    if (!input || !input->Marked || input->Connections.empty()) continue;
    const TSPConnectionRec& c = input->Connections[0];
    if (!c.ResolvedModule) continue;
    record->Busy = true;
    result |= c.ResolvedModule->BuildProcessList(target, c.ResolvedPin, list, voice);
    record->Busy = false;
  }
  if (result) {
    TMethod<void()> method;
    if (GetVoiceSampleMethod(method, voice)) {
      list.push_back({method, this, false, false});
      // The loop starts at its target.
      if (this == target && list.size() > 1) std::rotate(list.begin(), list.end() - 1, list.end());
    }
  }
  record->Result = result;
  return result;
}

void TSPBAse::RemoveDuplicateModules(std::vector<TSPProcessEntry>& list) {
  std::vector<const TSPBAse*> seen;
  std::erase_if(list, [&](const TSPProcessEntry& entry) {
    if (Contains(seen, entry.Module)) return true;
    seen.push_back(entry.Module);
    return false;
  });
}

void TSPBAse::BuildLoops(std::vector<TSPProcessEntry>& list, std::int32_t voice) {
  RemoveDuplicateModules(list);
  for (TSPProcessEntry& entry : list) entry.Done = false;
  for (;;) {
    // The delay with the smallest number goes first.
    TSPProcessEntry* next = nullptr;
    std::int32_t best = kSPUnnumbered;
    for (TSPProcessEntry& entry : list) {
      const auto* delay = dynamic_cast<const TSPOneSampleDelay*>(entry.Module);
      if (!delay || entry.Done || delay->ModuleNumber == -1 || delay->ModuleNumber >= best) continue;
      best = delay->ModuleNumber;
      next = &entry;
    }
    if (!next) break;
    next->Done = true;
    auto* delay = static_cast<TSPOneSampleDelay*>(next->Module);
    TDSPOneSampleDelay* control = delay->DelayControl(voice);
    if (!control) continue;
    control->LoopMembers.clear();
    if (!delay->BuildProcessList(delay, 0, control->LoopMembers, voice)) {
      control->LoopMembers.clear();
      control->SetLoopMembers(0);
      control->BlockRunner = TMethod<void()>::Bind<&TDSPOneSampleDelay::ProcessBlockDelay>(control);
      continue;
    }
    std::vector<TSPProcessEntry>& members = control->LoopMembers;
    RemoveDuplicateModules(members);
    // Loop members run only inside the loop.
    std::erase_if(list, [&](const TSPProcessEntry& entry) {
      return entry.Module != delay && std::any_of(members.begin(), members.end(),
                                                  [&](const TSPProcessEntry& m) { return m.Module == entry.Module; });
    });
    for (std::size_t k = 0; k < members.size(); ++k) members[k].Module->LoopIndex = static_cast<std::int32_t>(k);
    FuseList(members, voice, false);
    control->SetLoopMembers(static_cast<std::int32_t>(members.size()));
  }
  FuseList(list, voice, true);
}

// Fusion.

void TSignalProcessor::FuseChain(std::vector<TSPProcessEntry>& list, std::int32_t voice, bool final) {
  for (TSPProcessEntry& entry : list) entry.Fused = false;
  std::vector<TDSPControl*> run;
  // The run of fusable components from entry i on (stops at a Fused entry
  // or one without a component).
  const auto collect = [&](std::size_t i) {
    run.clear();
    for (std::size_t j = i; j < list.size() && !list[j].Fused; ++j) {
      TDSPControl* control = ComponentOf(list[j], voice);
      if (!control) break;
      run.push_back(control);
    }
  };
  for (;;) {
    std::int32_t best = 0;
    std::size_t bestStart = 0;
    for (std::size_t i = 0; i + 1 < list.size(); ++i) {
      collect(i);
      if (run.size() < 2) continue;
      TFusionRun query{run.data(), static_cast<std::int32_t>(run.size()), true};
      std::int32_t count = -1;
      TMethod<void()> method;
      run[0]->QueryFusion(&query, count, method);
      // A component cannot absorb more entries than its run holds.
      count = std::min<std::int32_t>(count, static_cast<std::int32_t>(run.size()) - 1);
      if (count > best) {  // the earlier run wins a tie
        best = count;
        bestStart = i;
      }
    }
    if (best <= 0) break;
    collect(bestStart);
    TFusionRun perform{run.data(), static_cast<std::int32_t>(run.size()), false};
    std::int32_t count = -1;
    TMethod<void()> method;
    run[0]->QueryFusion(&perform, count, method);
    count = std::min<std::int32_t>(count, static_cast<std::int32_t>(run.size()) - 1);
    if (count <= 0 || !method) break;  // refused when asked to perform
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(bestStart) + 1,
               list.begin() + static_cast<std::ptrdiff_t>(bestStart) + 1 + count);
    list[bestStart].Method = method;
    list[bestStart].Fused = true;
  }
  if (!final) return;
  for (TSPProcessEntry& entry : list)
    if (const auto* delay = dynamic_cast<const TSPOneSampleDelay*>(entry.Module))
      if (const TDSPOneSampleDelay* control = delay->DelayControl(voice)) entry.Method = control->BlockRunner;
}
