// Work that allocates or designs (a reverb network, a voice set, a patch's
// zones) split into steps, so that it never runs on the audio thread and
// never holds its owner's lock for longer than a swap:
//
//   TakeRequest  owner's lock held: copies what the latest request asks for
//                (false: nothing is wanted any more)
//   Build        no lock, on a thread that may allocate: builds it
//   Install      owner's lock held: swaps it in if it is still what is
//                wanted, keeping what it replaced
//   Release      no lock: frees what Install replaced (or a build that came
//                too late)
//
// A unit that wants such a change calls RequestPreparedChange. Where the
// steps run is decided by the thread it is called on (the plug-in core sets
// a destination around each host call):
//   - a host thread: after the host call's own work, on that thread, before
//     the call returns;
//   - the audio thread: taken and installed by the audio thread itself at
//     the end of its calls, built and released on the module's worker
//     thread (the old object keeps sounding meanwhile); a change whose
//     install passes every setting through again (InstallsWhileSilent) is
//     installed by another thread while the instrument is silent;
//   - anywhere else (set-up, a plug-in that has not been resumed, the unit
//     on its own in a test): at once, all four steps in a row.
#pragma once

#include <cstdint>

class TPreparedChange {
 public:
  virtual ~TPreparedChange() = default;
  virtual bool TakeRequest() = 0;
  virtual void Build() = 0;
  virtual void Install() = 0;
  virtual void Release() = 0;
  // True when Install costs as much as a program (a new voice set takes
  // every setting again): for a request of the audio thread it then runs on
  // another thread, after the sound has faded, rather than on the audio
  // thread between two blocks.
  virtual bool InstallsWhileSilent() const { return false; }
};

enum class TBuildMode : std::uint8_t { Inline, Deferred, Realtime };

// Where the calling thread's requests go while a destination is set.
class TBuildSink {
 public:
  virtual ~TBuildSink() = default;
  virtual TBuildMode Mode() const = 0;
  // Never allocates on a Realtime sink.
  virtual void Queue(TPreparedChange& change) = 0;
  // The owner the sink serves (a sink for another owner is not reused).
  virtual const void* Owner() const = 0;
  // Runs what was queued so far where the sink would run it at its end,
  // if that is the calling thread (nothing otherwise).
  virtual void Flush() {}
  // While on, what is queued is built on the calling thread (by Flush, or
  // when the sink ends) even where the sink would hand it on. Here nothing.
  virtual void BuildHere(bool /*on*/) {}
};

// The calling thread's destination (null: none, requests run at once).
TBuildSink* CurrentBuildSink();
TBuildMode CurrentBuildMode();
// Sets the calling thread's destination for its scope.
class TBuildSinkScope {
 public:
  explicit TBuildSinkScope(TBuildSink* sink);
  ~TBuildSinkScope();
  TBuildSinkScope(const TBuildSinkScope&) = delete;
  TBuildSinkScope& operator=(const TBuildSinkScope&) = delete;

 private:
  TBuildSink* Previous;
};

// Queues the change at the calling thread's destination, or runs its four
// steps at once when there is none.
void RequestPreparedChange(TPreparedChange& change);
// The four steps at once (the caller holds what the owner's rules ask).
void RunPreparedChangeNow(TPreparedChange& change);
