// The render loop: host blocks of any length served from one-millisecond
// internal blocks through the output rings, MIDI decoded between internal
// blocks, the silence gate, mute, and the volume and pan ramps.
//
// Timing of MIDI: an event at host sample t (counted from the first call)
// is decoded before the internal block that starts at B * (ceil(t / B) + 1),
// B being the internal block. Because the rings always keep one block in
// reserve, that is the earliest block that has never been rendered ahead,
// whatever the host's block length: output is the same for every host block
// size, at the cost of one to two milliseconds of MIDI latency. Relative to
// the first block a call renders, an event at offset o is due at
// o + 2B - 1 - F, F being the ring fill when the call starts. A call that
// cannot render moves the rings on by zero blocks as far as a call that
// renders would have: the blocks keep their place in the host's stream.
#include <emmintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>

#include "framework/base/base_math.h"
#include "framework/core/dsp_plugin_x.h"

namespace {
std::int64_t SteadyNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// out[i] := x[i] (replace) or out[i] + x[i], four per register; true when
// any result reaches the silence level in magnitude (NaN does not).
bool HandOut(const float* x, float* out, std::int32_t n, bool replace) {
  const __m128 level = _mm_set1_ps(TDSPPluginX::kSilenceLevel);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  __m128 loud = _mm_setzero_ps();
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128 y = _mm_loadu_ps(x + i);
    if (!replace) y = _mm_add_ps(_mm_loadu_ps(out + i), y);
    _mm_storeu_ps(out + i, y);
    loud = _mm_or_ps(loud, _mm_cmpge_ps(_mm_and_ps(y, magnitude), level));
  }
  bool any = _mm_movemask_ps(loud) != 0;
  for (; i < n; ++i) {
    const float y = replace ? x[i] : out[i] + x[i];
    out[i] = y;
    if (std::fabs(y) >= TDSPPluginX::kSilenceLevel) any = true;
  }
  return any;
}

// The interleaved pairs of src into left and right.
void Deinterleave(const float* src, float* left, float* right, std::int32_t n) {
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 a = _mm_loadu_ps(src + 2 * i), b = _mm_loadu_ps(src + 2 * i + 4);
    _mm_storeu_ps(left + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    _mm_storeu_ps(right + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
  }
  for (; i < n; ++i) {
    left[i] = src[2 * i];
    right[i] = src[2 * i + 1];
  }
}

}  // namespace

void TDSPPluginX::Process(float** /*inputs*/, float** outputs, std::int32_t sampleFrames) {
  Render(outputs, sampleFrames, false);
}

void TDSPPluginX::ProcessReplacing(float** /*inputs*/, float** outputs, std::int32_t sampleFrames) {
  Render(outputs, sampleFrames, true);
}

void TDSPPluginX::ReadHostTime() {
  const TVstTimeInfo* info = GetTimeInfo(kVstTempoValid | kVstTimeSigValid);
  HostTimeValid = info != nullptr;
  if (info != nullptr) HostTime = *info;
}

void TDSPPluginX::FlushHostNotifications() {
  if (IoChangedPending.exchange(false)) IoChanged();
}

void TDSPPluginX::Render(float** outputs, std::int32_t sampleFrames, bool replace) {
  sampleFrames = std::max(0, sampleFrames);
  // The host is asked for its time before the lock is taken: it is never
  // called while the lock is held.
  ReadHostTime();
  CallStartFrame = HostFrameClock;
  CallFrames = sampleFrames;
  HostFrameClock += sampleFrames;
  InstanceMutex().SetStreamingThread(std::this_thread::get_id());
  CallStartNs = SteadyNs();
  LastProcessNs.store(CallStartNs);
  // While another thread applies what was handed over the call stays away
  // from the lock (that thread needs it), unless it has waited too long.
  // Otherwise only tried: another thread that holds the lock changes what
  // rendering reads, and the audio thread never waits for it. A host that
  // renders offline (or ahead of its clock) waits: nobody listens as it
  // plays, and a silent call would be a gap in its render.
  std::unique_lock<TPluginLock> hold(InstanceMutex(), std::defer_lock);
  const bool away = Parked() && StageBlocks < kProgramSettleMs;
  if (!away && OfflineCall()) hold.lock();
  else if (!away && !hold.try_lock()) BusyCalls.fetch_add(1);
  if (!hold.owns_lock()) {
    // The call cannot render: its events are held with their stream frames.
    HoldCallMidi();
    ServeCall(outputs, sampleFrames, replace, false, !IsActive());
    return;
  }
  RingBlock = Settings->BlockSize;
  if (!FirstCallSeen) {
    // The program current at start-up is applied before the first sound:
    // by resume, or here for a host that processes before it resumes.
    if (!IsLive()) MarkProgramPending();
    FirstCallSeen = true;
  }
  Live.store(true);
  // A call of no frames (some hosts send one for events alone) says
  // nothing of how soon the next one comes: the last block's length stands.
  if (sampleFrames > 0)
    LastBlockNs.store(static_cast<std::int64_t>(sampleFrames) * 1000000000 /
                      std::max<std::int32_t>(1, Settings->SampleRate));
  TakeForeignMidi();
  ApplyHandedOverParameters();
  // Inactive (muted) is not gated here: the render loop writes silence
  // then, and programs and MIDI (the controller that unmutes among it) are
  // still applied, so what the parameter says and what the instrument does
  // agree at every moment.
  if (IsUpdating() || IsSuspended()) {
    // Gated: nothing renders, but the host gets silence rather than
    // whatever its buffers held, and notes released meanwhile stay released.
    ReleaseQueuedNoteOffs();
    RecordCallMidi();
    ClearMidiQueue();
    if (replace && outputs != nullptr) {
      for (std::int32_t k = 0; k < Effect.numOutputs; ++k)
        if (outputs[k] != nullptr) std::fill(outputs[k], outputs[k] + sampleFrames, 0.0f);
    }
  } else {
    Built = true;
    // A program waiting while the instrument sounds (from the host's
    // program call or a loaded chunk) is applied after the fade, as is a
    // change that installs while silent.
    const int stage = Stage.load();
    if (!Parked() && (IsProgramPending() || (HandsOverPrograms() && Changes().SilentInstallWaiting()))) {
      HoldEventsAfterAsk();
      if (stage == kRunning && BlockHasSignal) EnterStage(kFading);
      else if (stage != kFading) ApplyOrHandOver(false);
    }
    if (!TimeInfoRead.load()) UpdateTimeInfo();
    if (GateWake.exchange(false)) SilenceCount = 0;
    FeedHeldMidi();
    ProcessPendingMidi();
    if (!TimeInfoRead.load()) UpdateTimeInfo();
    TimeInfoRead.store(false);
    // An inactive plug-in gives the host silence from this call on (what
    // the rings still hold is dropped with it), while its MIDI is decoded.
    const bool silent = !IsActive();
    Rendering = true;
    ServeCall(outputs, sampleFrames, replace, true, silent);
    Rendering = false;
    FadeAhead();
    RecordCallMidi();
    ClearMidiQueue();
  }
  FlushAudioThreadPosts();
  hold.unlock();
  FlushHostNotifications();
}

void TDSPPluginX::ServeCall(float** outputs, std::int32_t frames, bool replace, bool render, bool silent) {
  const std::int32_t piece = std::max(1, kRingLength - 2 * RingBlock);
  std::int32_t done = 0;
  do {
    const std::int32_t n = std::min(piece, frames - done);
    RenderPiece(outputs, done, n, frames, replace, render, silent);
    done += n;
  } while (done < frames);
}

void TDSPPluginX::NoteProgramAsked() {
  std::int64_t none = 0;
  ProgramAskedNs.compare_exchange_strong(none, SteadyNs());
}

void TDSPPluginX::RecordCallMidi() {
  LastCallStartNs = CallStartNs;
  LastCallStartFrame = CallStartFrame;
  LastCallFrames = CallFrames;
  LastCallMidiCount = 0;
  LastCallMidiWhole = true;
  for (const TQueuedMidi& q : MidiQueue) {
    if (!q.Decoded) continue;
    if (LastCallMidiCount == LastCallMidi.size()) {
      LastCallMidiWhole = false;
      break;
    }
    LastCallMidi[LastCallMidiCount++] = HeldRecord(q.Event);
  }
}

void TDSPPluginX::HoldEventsAfterAsk() {
  const std::int64_t asked = ProgramAskedNs.exchange(0);
  // A host that renders ahead of its clock has no point of its stream at
  // the time of a call: the change lands between two calls.
  if (asked == 0 || !ProgramFromElsewhere.load() || HostRendersAhead() || !LastCallMidiWhole || HeldDelay >= 0) return;
  const double since = static_cast<double>(asked - LastCallStartNs) * 1e-9 * Settings->SampleRate;
  const std::int64_t from =
      LastCallStartFrame + std::clamp<std::int64_t>(std::llround(std::max(0.0, since)), 0, LastCallFrames);
  // From that point on: sent for after the change.
  auto after = [from](const THeldMidi& e) { return e.Frame >= from; };
  const auto n = static_cast<std::size_t>(std::count_if(
      LastCallMidi.begin(), LastCallMidi.begin() + static_cast<std::ptrdiff_t>(LastCallMidiCount), after));
  if (n == 0 || HeldMidiCount + n > HeldMidi.size()) return;
  // Ahead of what the store holds (later events of the stream), in their order.
  std::memmove(HeldMidi.data() + n, HeldMidi.data() + HeldMidiStart, HeldMidiCount * sizeof(THeldMidi));
  HeldMidiStart = 0;
  HeldMidiCount += n;
  std::size_t placed = 0;
  for (std::size_t k = 0; k < LastCallMidiCount; ++k) {
    const THeldMidi& e = LastCallMidi[k];
    if (!after(e)) continue;
    std::uint8_t key = 0;
    UncountDecoded(NoteKindOf(e.Bytes, key), key);
    HeldMidi[placed++] = e;
  }
  LastCallMidiCount = 0;
  HeldDelay = -1;
}

TDSPPluginX::THeldMidi TDSPPluginX::HeldRecord(const TVstMidiEvent& event) const {
  THeldMidi h{};
  std::copy_n(event.midiData, 3, h.Bytes);
  h.Frame = CallStartFrame + ClampedOffset(event, CallFrames);
  return h;
}

bool TDSPPluginX::StoreHeldMidi(const TVstMidiEvent& event) {
  if (HeldMidiStart + HeldMidiCount == HeldMidi.size()) {
    if (HeldMidiStart == 0) return false;
    std::copy_n(HeldMidi.begin() + static_cast<std::ptrdiff_t>(HeldMidiStart), HeldMidiCount, HeldMidi.begin());
    HeldMidiStart = 0;
  }
  HeldMidi[HeldMidiStart + HeldMidiCount++] = HeldRecord(event);
  return true;
}

void TDSPPluginX::HoldCallMidi() {
  // Into the store in their order; what finds it full stays queued and goes
  // first in the next call.
  std::size_t kept = 0;
  for (TQueuedMidi& q : MidiQueue) {
    if (kept == 0 && StoreHeldMidi(q.Event)) continue;
    q.Event.deltaFrames = 0;
    MidiQueue[kept++] = q;
  }
  MidiQueue.resize(kept);
  // The delay is measured again when the instrument takes events.
  if (HeldMidiCount > 0) HeldDelay = -1;
}

void TDSPPluginX::FeedHeldMidi() {
  if (HeldMidiCount == 0) {
    HeldDelay = -1;
    return;
  }
  if (Stage.load() != kRunning) return;
  // The first event still held plays in the first block of its place on
  // the grid from this call on.
  const std::int64_t block = Settings->BlockSize;
  if (HeldDelay < 0)
    HeldDelay = (std::max<std::int64_t>(0, CallStartFrame - HeldMidi[HeldMidiStart].Frame) + block - 1) / block * block;
  // This call's events join the store, behind what it holds (the queue
  // holds nothing else: every call empties it).
  std::size_t moved = 0;
  while (moved < MidiQueue.size() && StoreHeldMidi(MidiQueue[moved].Event)) ++moved;
  const std::size_t rest = MidiQueue.size() - moved;
  // Without room for all of them the spacing goes: everything held plays at
  // the call's start, then the rest of its own events, in their order.
  const bool flush = rest > 0;
  const std::int64_t end = CallStartFrame + CallFrames;
  std::size_t due = 0;
  while (due < HeldMidiCount && (flush || HeldMidi[HeldMidiStart + due].Frame + HeldDelay < end || CallFrames == 0))
    ++due;
  due = std::min(due, kMidiQueueCapacity - rest);
  std::move(MidiQueue.begin() + static_cast<std::ptrdiff_t>(moved), MidiQueue.end(), MidiQueue.begin());
  MidiQueue.resize(rest + due);
  std::move_backward(MidiQueue.begin(), MidiQueue.begin() + static_cast<std::ptrdiff_t>(rest), MidiQueue.end());
  for (std::size_t k = 0; k < due; ++k) {
    const THeldMidi& h = HeldMidi[HeldMidiStart + k];
    TVstMidiEvent e{};
    e.type = kVstMidiEventType;
    e.byteSize = sizeof(TVstMidiEvent);
    e.deltaFrames =
        flush
            ? 0
            : static_cast<std::int32_t>(std::clamp<std::int64_t>(h.Frame + HeldDelay - CallStartFrame, 0, CallFrames));
    std::copy_n(h.Bytes, 3, e.midiData);
    MidiQueue[k] = MakeQueued(e);
  }
  HeldMidiStart += due;
  HeldMidiCount -= due;
  if (HeldMidiCount == 0) {
    HeldMidiStart = 0;
    HeldDelay = -1;
  }
}

bool TDSPPluginX::HandOverWanted() {
  if (!HandsOverPrograms()) return false;
  // A program the audio thread asked for itself (a MIDI program change, a
  // host that selects programs on its audio thread) is applied here, at the
  // same point of the stream whatever the timing.
  if (IsProgramPending()) return ProgramFromElsewhere.load();
  return Changes().SilentInstallWaiting();
}

void TDSPPluginX::ApplyOrHandOver(bool reset) {
  if (HandOverWanted()) {
    ParkForHandOver();
    return;
  }
  reset |= IsProgramPending();
  ApplyPendingProgram();
  if (reset) {
    ResetSound();
    BeginProgramSettle();
  }
}

void TDSPPluginX::EnterStage(int stage) {
  StageBlocks = 0;
  Stage.store(stage);
}

void TDSPPluginX::ParkForHandOver() {
  // The last the audio thread writes before another thread may take it.
  EnterStage(kParked);
  Changes().WantHandOver();
}

bool TDSPPluginX::ApplyOverdueHandOver() {
  // Nobody took it within that much audio (a host that renders faster than
  // real time, or a starved machine): applied here after all, unless a
  // build runs (the next block tries again).
  std::unique_lock<std::recursive_mutex> building(Changes().BuildLock(), std::try_to_lock);
  if (!building.owns_lock()) return false;
  int parked = kParked;
  if (!Stage.compare_exchange_strong(parked, kApplying)) return false;
  Changes().InstallSilentChanges();
  const bool pending = IsProgramPending();
  ApplyPendingProgram();
  if (pending) ResetSound();
  // The events held meanwhile wait for the next call, where they play with
  // their spacing (the rest of this call's events join them).
  BeginProgramSettle();
  return true;
}

void TDSPPluginX::RenderPiece(float** outputs, std::int32_t offset, std::int32_t frames, std::int32_t hostFrames,
                              bool replace, bool render, bool silent) {
  const std::int32_t block = RingBlock;
  // Without the lock no event is scheduled (so none is sent), and each
  // block is silence counted towards the stage's wait.
  if (render) ScheduleQueuedMidi(offset, frames, hostFrames, 2 * block - 1 - RingFill);
  std::int32_t pos = 0;
  for (; RingFill < block + frames; RingFill += block, pos += block, ++SilenceCount) {
    SendQueuedMidi(pos == 0 ? kEarliest : pos, pos + block);
    if (render) {
      RenderInternalBlock();
    } else {
      WriteBlockToRings(nullptr);
      ++StageBlocks;
    }
  }
  // Events beyond the last block rendered take effect in the next one.
  SendQueuedMidi(pos == 0 ? kEarliest : pos, INT_MAX);

  // Hand the host its frames, added or replacing, in the ring's contiguous
  // runs (at most two).
  bool loud = false;
  for (std::size_t k = 0; k < OutputRings.size(); ++k) {
    TRing& ring = OutputRings[k];
    float* out = outputs != nullptr && k < static_cast<std::size_t>(Effect.numOutputs) ? outputs[k] : nullptr;
    std::int32_t read = ring.ReadIndex;
    for (std::int32_t j = 0; j < frames;) {
      const std::int32_t run = std::min(frames - j, kRingLength - read);
      if (out != nullptr && silent) {
        if (replace) std::fill_n(out + offset + j, run, 0.0f);
      } else if (out != nullptr) {
        loud |= HandOut(ring.Samples.data() + read, out + offset + j, run, replace);
      }
      j += run;
      read += run;
      if (read == kRingLength) read = 0;
    }
    ring.ReadIndex = read;
  }
  if (loud) SilenceCount = 0;
  RingFill -= frames;
}

void TDSPPluginX::RenderInternalBlock() {
  const std::int32_t block = Settings->BlockSize;
  const double silentMs = static_cast<double>(SilenceCount) * block / std::max<std::int32_t>(1, Settings->SamplesPerMs);
  float* buffer = GetOutputBuffer();
  if (WaitsForChange()) {
    WriteBlockToRings(nullptr);
  } else if (silentMs < kSilenceGateMs && IsActive() && !IsMuted() && buffer != nullptr) {
    RenderVoices();
    if (BlockHasSignal) ApplyOutputGain();
    if (Stage.load() == kFading) FadeProgramChange(buffer);
    LimitOutput(buffer, 2 * block);
    WriteBlockToRings(buffer);
  } else {
    // Muted, inactive or gated by silence: the rings advance with zeros, so
    // the latency stays what it was.
    WriteBlockToRings(nullptr);
    // Nothing sounds that a fade could end.
    if (Stage.load() == kFading) ProgramFadeDone();
  }
}

bool TDSPPluginX::WaitsForChange() {
  // Another thread applies what was handed over: silence meanwhile, and
  // after kProgramSettleMs the audio thread applies it itself.
  if (Parked() && (StageBlocks < kProgramSettleMs || !ApplyOverdueHandOver())) {
    ++StageBlocks;
    return true;
  }
  if (Stage.load() != kSettling) return false;
  if (Changes().RealtimeOutstanding() && StageBlocks < kProgramSettleMs) {
    ++StageBlocks;
    // Silent already: a change that installs while silent goes now.
    if (HandsOverPrograms() && Changes().SilentInstallWaiting()) ParkForHandOver();
    return true;
  }
  EnterStage(kRunning);
  ReplayHeldMidi();
  return false;
}

void TDSPPluginX::LimitOutput(float* x, std::int32_t samples) {
  const __m128 high = _mm_set1_ps(kOutputCeiling), low = _mm_set1_ps(-kOutputCeiling);
  std::int32_t i = 0;
  for (; i + 4 <= samples; i += 4) {
    const __m128 y = _mm_loadu_ps(x + i);
    // max gives its second operand for a NaN, the mask then makes it 0.
    const __m128 held = _mm_min_ps(_mm_max_ps(y, low), high);
    _mm_storeu_ps(x + i, _mm_and_ps(held, _mm_cmpord_ps(y, y)));
  }
  for (; i < samples; ++i) {
    const float y = x[i];
    x[i] = y != y ? 0.0f : std::min(std::max(y, -kOutputCeiling), kOutputCeiling);
  }
}

void TDSPPluginX::FadeAhead() {
  // The fade's blocks go into the rings after what they hold, as the next
  // call would have rendered them; that call renders fewer blocks. The rings
  // keep room for the longest piece a call serves (a block more than it
  // needs, and one in reserve).
  const std::int32_t block = RingBlock = Settings->BlockSize;
  while (Stage.load() == kFading && RingFill + 3 * block <= kRingLength) {
    RenderInternalBlock();
    RingFill += block;
    ++SilenceCount;
  }
}

void TDSPPluginX::FadeProgramChange(float* interleaved) {
  const std::int32_t block = Settings->BlockSize;
  const std::int32_t length = std::max<std::int32_t>(1, kProgramFadeMs * Settings->SamplesPerMs);
  const std::int32_t done = StageBlocks * block;
  for (std::int32_t j = 0; j < block; ++j) {
    const float g = FallingCosineGain(done + j, length);
    interleaved[2 * j] *= g;
    interleaved[2 * j + 1] *= g;
  }
  ++StageBlocks;
  if (done + block >= length) ProgramFadeDone();
}

void TDSPPluginX::ProgramFadeDone() {
  EnterStage(kRunning);
  // The held events wait for a hand-over too.
  ApplyOrHandOver(true);
  // The events that came during the fade, in their order, for the new
  // program; the next block is its first (unless it waits for its builds).
  if (Stage.load() == kRunning) ReplayHeldMidi();
}

void TDSPPluginX::BeginProgramSettle() { EnterStage(Changes().RealtimeOutstanding() ? kSettling : kRunning); }

void TDSPPluginX::ReplayHeldMidi() {
  const std::size_t start = HeldMidiStart, held = HeldMidiCount;
  HeldMidiStart = 0;
  HeldMidiCount = 0;
  HeldDelay = -1;
  for (std::size_t k = start; k < start + held; ++k) DecodeMidi(HeldMidi[k].Bytes);
}

bool TDSPPluginX::HoldMidi(const TVstMidiEvent& event) {
  // Also while held events wait for the next call to replay them: none may
  // overtake them.
  if (Stage.load() == kRunning && !(HeldMidiCount > 0 && HeldDelay < 0)) return false;
  if (StoreHeldMidi(event)) {
    HeldDelay = -1;
    return true;
  }
  // A full store lets the event through rather than lose it, after what it
  // holds: a note-off never overtakes its note-on.
  ReplayHeldMidi();
  return false;
}

void TDSPPluginX::WriteBlockToRings(const float* interleaved) {
  const std::int32_t block = RingBlock;
  const std::size_t rings = OutputRings.size();
  // Runs up to the ring's end; every ring moves by the same block, so the
  // first two share their write index.
  for (std::size_t k = 0; k < rings; ++k) {
    TRing& ring = OutputRings[k];
    const bool pair = k == 0 && rings >= 2 && interleaved != nullptr && OutputRings[1].WriteIndex == ring.WriteIndex;
    std::int32_t write = ring.WriteIndex;
    for (std::int32_t j = 0; j < block;) {
      const std::int32_t run = std::min(block - j, kRingLength - write);
      float* dst = ring.Samples.data() + write;
      if (pair) {
        Deinterleave(interleaved + 2 * j, dst, OutputRings[1].Samples.data() + write, run);
      } else if (interleaved != nullptr && k < 2) {
        for (std::int32_t i = 0; i < run; ++i) dst[i] = interleaved[2 * (j + i) + static_cast<std::int32_t>(k)];
      } else {
        std::fill_n(dst, run, 0.0f);
      }
      j += run;
      write += run;
      if (write == kRingLength) write = 0;
    }
    ring.WriteIndex = write;
    if (pair) {
      OutputRings[1].WriteIndex = write;
      ++k;
    }
  }
}

void TDSPPluginX::RenderVoices() { BlockHasSignal = DetectSignal(GetOutputBuffer(), Settings->StereoLength); }

bool TDSPPluginX::DetectSignal(const float* block, std::int32_t count) {
  BlockHasSignal = false;
  if (block == nullptr) return false;
  for (std::int32_t i = 0; i < count; ++i) {
    if (block[i] != 0.0f) {
      BlockHasSignal = true;
      break;
    }
  }
  return BlockHasSignal;
}

void TDSPPluginX::ApplyOutputGain() {
  float* buffer = GetOutputBuffer();
  if (buffer == nullptr) return;
  const std::int32_t block = Settings->BlockSize;
  if (!VolumeRamp.Active && !PanRamp.Active) {
    const __m128 gains = _mm_setr_ps(LeftGain, RightGain, LeftGain, RightGain);
    std::int32_t j = 0;
    for (; j + 2 <= block; j += 2) _mm_storeu_ps(buffer + 2 * j, _mm_mul_ps(_mm_loadu_ps(buffer + 2 * j), gains));
    for (; j < block; ++j) {
      buffer[2 * j] *= LeftGain;
      buffer[2 * j + 1] *= RightGain;
    }
    return;
  }
  auto step = [](TGainRamp& ramp, float& value) {
    if (!ramp.Active) return;
    const float t = static_cast<float>(ramp.Counter) * ramp.InvLength;
    // The last step lands on the target exactly, whatever t rounds to.
    value = ramp.Counter >= ramp.Length ? ramp.Target : ramp.Start + (ramp.Target - ramp.Start) * t;
    ++ramp.Counter;
    if (ramp.Counter > ramp.Length) ramp.Active = false;
  };
  for (std::int32_t j = 0; j < block; ++j) {
    if (VolumeRamp.Active || PanRamp.Active) {
      step(VolumeRamp, Volume);
      step(PanRamp, Pan);
      const float g = 2.0f * Volume;
      LeftGain = (1.0f - Pan) * g;
      RightGain = Pan * g;
    }
    buffer[2 * j] *= LeftGain;
    buffer[2 * j + 1] *= RightGain;
  }
}

void TDSPPluginX::StartRamp(TGainRamp& ramp, float from, float to) {
  ramp.Start = from;
  ramp.Target = to;
  ramp.Counter = 0;
  ramp.Length = std::max<std::int32_t>(1, kRampMs * Settings->SamplesPerMs);
  ramp.InvLength = 1.0f / static_cast<float>(ramp.Length);
  ramp.Active = true;
}

void TDSPPluginX::UpdateTimeInfo() {
  TimeInfoRead.store(true);
  TempoValid = false;
  SignatureValid = false;
  if (!HostTimeValid) return;
  if ((HostTime.flags & kVstTempoValid) != 0) {
    const auto tempo = static_cast<float>(HostTime.tempo);
    const bool changed = tempo != Tempo;
    if (changed) Tempo = tempo;
    MsPerTick = Tempo > 0.0f ? 60000.0f / Tempo / 120.0f : 0.001f;
    TempoValid = true;
    if (changed) TempoChanged();
  }
  if ((HostTime.flags & kVstTimeSigValid) != 0) {
    SignatureValid = true;
    const auto numerator = static_cast<std::uint8_t>(std::clamp(HostTime.timeSigNumerator, 0, 255));
    const auto denominator = static_cast<std::uint8_t>(std::clamp(HostTime.timeSigDenominator, 0, 255));
    if (numerator != TimeSigNumerator) {
      TimeSigNumerator = numerator;
      TimeSignatureChanged();
    }
    if (denominator != TimeSigDenominator) {
      TimeSigDenominator = denominator;
      TimeSignatureChanged();
    }
  }
  TimeInfoHook();
}

// ---- MIDI

void TDSPPluginX::ReleaseQueuedNoteOffs() {
  for (const TQueuedMidi& q : MidiQueue) {
    const std::uint8_t* d = q.Event.midiData;
    const TMidiMessageRec m = TMidiMessageHandler::DecodeBytes(d[0], d[1], d[2]);
    if (m.Status != kMidiNoteOff) continue;
    TMidiEventRec e;
    e.Status = kMidiNoteOff;
    e.Data1 = static_cast<std::int16_t>(m.Data1);
    e.Data2 = static_cast<std::int16_t>(m.Data2);
    e.Channel = static_cast<std::int16_t>(m.Channel);
    NoteOff(e);
  }
}

void TDSPPluginX::HandleMidi(const TMidiEventRec& e) {
  switch (e.Status) {
    case kMidiNoteOn:
      if (!IsActive()) return;
      SilenceCount = 0;
      if (e.Data2 == 0) {
        TMidiEventRec off = e;
        off.Status = kMidiNoteOff;
        NoteOff(off);
      } else {
        NoteOn(e);
      }
      return;
    case kMidiNoteOff:
      if (!IsActive()) return;
      NoteOff(e);
      SilenceCount = 0;
      return;
    case kMidiController: {
      if (e.Data1 < 0 || e.Data1 >= static_cast<std::int32_t>(MidiCCMap.size())) return;
      const std::int32_t p = MidiCCMap[e.Data1];
      if (IsValidParam(p) && ParamInfo[p].MidiKind == kParamMidiController) {
        SetParameterValue(p, static_cast<float>(e.Data2) * (1.0f / 127.0f));
        SendToSink(kMsgParamByMidi, nullptr, static_cast<float>(p), 0, 0);
      }
      return;
    }
    case kMidiProgramChange:
      if (AcceptsProgramChange() && e.Data1 >= 0 && e.Data2 >= 0) SelectProgram(e.Data2);
      return;
    case kMidiPitchBend:
      PitchBendValue = e.Data2;
      UpdatePitchBend();
      return;
    case kMidiRpnValue: {
      if (e.Data1 < 0 || e.Data1 >= static_cast<std::int32_t>(RpnMap.size())) return;
      const std::int32_t p = RpnMap[e.Data1];
      if (IsValidParam(p) && ParamInfo[p].MidiKind == kParamMidiRpn) {
        SetParameterValue(p, static_cast<float>(e.Data2) / 16383.0f);
        SendToSink(kMsgParamByMidi, nullptr, static_cast<float>(p), 0, 0);
      }
      return;
    }
    case kMidiNrpnValue:
      // NRPN number k sets the gain of entry k of the input-pin list (engine
      // input connections; an instrument without inputs has none).
      if (SetInputPinGain(e.Data1, e.Data2)) SendToSink(kMsgIoChanged, nullptr, static_cast<float>(e.Data1), 0, 0);
      return;
    case kMidiParameterChangedRequest:
      if (IsValidParam(e.Data1)) ParameterChanged(e.Data1);
      return;
    default:
      return;
  }
}

void TDSPPluginX::UpdatePitchBend() {
  // Asymmetric scaling keeps the centre at exactly 0 and both ends at +-1.
  const float v = static_cast<float>(std::clamp(PitchBendValue, -8192, 8191));
  const float unit = v < 0.0f ? v / 8192.0f : v / 8191.0f;
  PitchBendAmount = unit * PitchBendRange;
}

void TDSPPluginX::DeferMidi(const TMidiEventRec& e) {
  std::lock_guard<std::mutex> guard(DeferredMidiLock);
  if (DeferredMidi.size() >= kMidiQueueCapacity) {
    CountDroppedMidi();
    return;
  }
  DeferredMidi.push_back(e);
}

void TDSPPluginX::ProcessPendingMidi() {
  // Swapped out under the list's own lock, replayed outside it: HandleMidi
  // may take the instance lock. The audio thread only tries the list's
  // lock: a busy one leaves the records for the next call.
  // Both lists keep their capacity, so replaying does not free memory on
  // the audio thread.
  {
    std::unique_lock<std::mutex> guard(DeferredMidiLock, std::try_to_lock);
    if (!guard.owns_lock() || DeferredMidi.empty()) return;
    DeferredMidiReplay.swap(DeferredMidi);
    LastMidiTimeMs = NowMs();
  }
  for (auto it = DeferredMidiReplay.rbegin(); it != DeferredMidiReplay.rend(); ++it) HandleMidi(*it);
  DeferredMidiReplay.clear();
}

void TDSPPluginX::ResetEngine() {
  std::lock_guard<std::mutex> guard(DeferredMidiLock);
  DeferredMidi.clear();
  LastMidiTimeMs = NowMs();
}
