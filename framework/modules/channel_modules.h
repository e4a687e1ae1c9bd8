// The plug-in's audio channels as modules: one stereo output module per
// output channel, whose interleaved block the instrument writes and the
// render loop copies to the host, and one stereo input module per input
// channel, which sums the output blocks of connected engines with gains and
// splits the sum into left and right.
//
// Used on the audio thread inside the instance lock; the buffers are
// (re)allocated only by SetAudioSettings, which the plug-in calls under that
// lock when its settings change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "framework/modules/sp_base.h"

class TDSPPluginX;

// Base of the two channel modules.
class TIOChannelSum : public TSPBAse {};

class TOutPutChannelSum : public TIOChannelSum {
 public:
  static constexpr std::int32_t kTypeId = 1199;

  TOutPutChannelSum();

  void ReallocBuffers() override;
  void ReleaseBuffers() override;
  // Disconnects only the inputs: the output keeps feeding other engines.
  void DisconnectAllPins() override;
  // After the base: command 27 also points both sources at ZeroBuffer.
  std::int32_t HandleCommand(std::int32_t code, std::uint8_t arg = 0, TAudioSettingsRec* settings = nullptr) override;

  // Pulls one block from each input pin with exactly one connection (left
  // from pin 0, right from pin 1; unconnected sides are zeros), interleaves
  // it into Interleaved and answers whether any sample is non-zero (+0 and
  // -0 count as zero). It overwrites Interleaved: a plug-in whose engine
  // writes Interleaved directly must not gather afterwards.
  bool GatherStereo();
  // Copies the interleaved block (StereoBufferLength floats, at most
  // capacity) to destination.
  void CopyOutput(float* destination, std::size_t capacity) const;
  // Every frame: left x 2 x Gain x (1 - Balance), right x 2 x Gain x Balance.
  void ApplyGainBalance();
  // Interleaves LeftSource and RightSource into Interleaved; the module's
  // block method.
  void InterleaveSources();
  // index 0 sets LeftSource, 1 RightSource; nothing when flag is set.
  void SetSourceBuffer(const float* buffer, std::int32_t index, bool flag);
  // One sample from each connected input into frame request.Index of
  // Interleaved; request.Marked is set when a value is not zero.
  void PullSamples(TSPSampleRequest& request);

  // One block of interleaved frames (left, right), StereoBufferLength floats.
  std::unique_ptr<float[]> Interleaved;
  float Gain = 1.0f;        // ApplyGainBalance: 1 with Balance 0.5 is unity
  float Balance = 0.5f;     // 0 left only, 1 right only
  const float* LeftSource;  // ZeroBuffer until set
  const float* RightSource;
  std::unique_ptr<float[]> LeftBuffer;  // BufferLength floats
  std::unique_ptr<float[]> RightBuffer;
};

class TInputChannelSum : public TIOChannelSum {
 public:
  static constexpr std::int32_t kTypeId = 1198;

  struct TSource {
    TOutPutChannelSum* Module = nullptr;
    const float* Gain = nullptr;  // read at every mix; null counts as 1
  };
  // Read position of one output pin and voice for the per-sample pull.
  struct TReadPosition {
    std::int32_t Count = 0;
    std::int32_t Limit = 0;     // reads per frame; 0 or 1 advance every read
    std::int32_t Position = 0;  // frame index in the block
  };

  TInputChannelSum();

  void ReallocBuffers() override;
  void ReleaseBuffers() override;
  // Disconnects only the outputs: the input keeps its sources.
  void DisconnectAllPins() override;
  void SetVoiceCount(std::uint8_t n) override;
  // Block pull of output pin 0 (left) or 1 (right): ReadChannel.
  void GetOutputBlock(TSPBlockRequest& request) override { ReadChannel(request); }
  // Per-sample pull: AdvanceRead.
  void PullInputs(TSPSampleRequest& request) override { AdvanceRead(request); }

  bool AddSource(TOutPutChannelSum* source, const float* gain);
  // Forgets every source; the list keeps its room, so re-adding as many
  // allocates nothing.
  void ClearSources() {
    Sources.clear();
    SourceCount = 0;
  }
  void ClearSum();
  // SumBuffer += source i's interleaved block x its gain.
  void MixSource(std::int32_t i);
  // SumBuffer frames into LeftOut and RightOut, one block.
  void SplitStereo();
  // index 0 the left, 1 the right buffer, true; any other index null, false.
  bool GetChannel(float*& buffer, std::int32_t index);
  // One block of the left (SourcePin 0) or right channel out of SumBuffer.
  void ReadChannel(TSPBlockRequest& request);
  // The sample at the voice's read position; the position moves on by one
  // frame every Limit reads, wrapping at the end of the block.
  void AdvanceRead(TSPSampleRequest& request);

  std::unique_ptr<float[]> SumBuffer;  // interleaved, StereoBufferLength floats
  std::vector<TSource> Sources;
  std::uint16_t SourceCount = 0;
  std::unique_ptr<float[]> Scratch;  // StereoBufferLength floats
  std::unique_ptr<float[]> LeftOut;  // BufferLength floats
  std::unique_ptr<float[]> RightOut;
  std::vector<std::vector<TReadPosition>> ReadPositions;  // [output pin][voice]
};

// A connection of one plug-in engine's channel to another engine.
struct TEngineConnectionRec {
  TDSPPluginX* Engine = nullptr;  // the engine at the other end
  std::int32_t Kind = 1;          // always 1
  float Gain = 1.0f;
  std::int32_t Pin = 0;
};

// The plug-in's record of one of its channels: its engine connections and
// its channel module (an input record owns an input module, an output
// record an output module).
struct TIOChannelRec {
  std::vector<TEngineConnectionRec> Connections;
  std::unique_ptr<TInputChannelSum> InputSum;
  std::unique_ptr<TOutPutChannelSum> OutputSum;
  bool Active = false;
};

// Empties the connection list of every record (the records stay).
void ClearChannelRecords(std::vector<TIOChannelRec>& records);
