// The sequencer layer: binds the two step sequencers of every voice (Seq1
// and Seq2 of TDSPSynthVoice) to 2 x 69 plug-in parameters, keeps the two
// sequencer pitch-modulation amounts the voice control reads, and declares
// the sub-preset groups 40 "Sequencer1" and 41 "Sequencer2" and the two
// sequencer pages of the editor.
//
// For the layers above:
//   - Parameter ids: local index l of this layer (0..137) is plug-in
//     parameter SeqParamIndex(l); sequencer s (0 or 1) owns locals
//     69 s .. 69 s + 68, in the order of engines/data/seq_parameters.tsv.
//     AssignParameterIds fills the map once (236 + l) and enables the
//     dispatch; a layer above that overrides it calls the inherited one.
//     SeqLocalOfParam(id) is the reverse (-1 for other layers' ids).
//   - Voices: the sequencers are reached in every voice that is a
//     TDSPSynthVoice (VoiceAs / ForEachVoice of the voice manager); a
//     voice of another class is skipped.
//   - SeqPitchAmount(s): Seq1ToPitch / Seq2ToPitch x 0.01, read by the voice
//     control of a layer above.
//   - Editor: SeqPanels holds the plug-in's panel index of each sequencer
//     page (-1 while no editor exists; an editor layer fills it in
//     CreatePanels, before InitParameterInfo writes the descriptors' panel
//     fields). SeqPageTable holds the pages' captions, page buttons and
//     Preset buttons as the editor will build them.
//
// Threads: ParameterChanged runs under the instance lock (the host's
// parameter entry, program application, sub-presets and editor changes
// take it), as does every rebuild of the voice array, so the per-voice
// dispatch never meets a half-built array.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "engines/seq_param_table_data.h"
#include "engines/voicerack_synth_base.h"
#include "framework/core/param_info.h"

class TDSPSynthVoice;

// Parameters of one sequencer and of the layer.
inline constexpr std::int32_t kSeqParamsPerSequencer = 69;
inline constexpr std::int32_t kSeqParamCount = 2 * kSeqParamsPerSequencer;
// Plug-in parameter of local 0.
inline constexpr std::int32_t kSeqFirstParamId = 236;
// Local index (within one sequencer) of the first step and of the pitch
// amount.
inline constexpr std::int32_t kSeqFirstStepLocal = 37;
inline constexpr std::int32_t kSeqPitchAmountLocal = 36;
// The sub-preset groups of sequencer 1 and 2.
inline constexpr std::int32_t kSeq1SubPresetGroup = 40;
inline constexpr std::int32_t kSeq2SubPresetGroup = 41;
// The layer's page buttons stand in a column, this far apart.
inline constexpr std::int32_t kSeqButtonPitch = 60;

static_assert(SeqParamTableCount == kSeqParamsPerSequencer);

// One sequencer page of the editor: its panel, the page button that shows it
// and the "Preset" button of its sub-preset group. All pages belong to the
// notebook group of the instrument's page switch (kPageGroup); the layers
// above renumber the pages and re-place the page buttons in their row.
struct TSeqPageRow {
  const char* Caption;  // panel caption
  const char* ButtonCaption;
  std::int32_t Page;  // notebook page of the panel, which its button shows
  std::int32_t ButtonTop, ButtonLeft;
  std::int32_t Top, Left, Height;  // panel placement; width: the main panel's
  std::int32_t SubPresetGroup;
  const char* GroupName;
  std::int32_t PresetTop, PresetLeft;
  std::int32_t Style;  // surface style of the page, as the other pages have it
};
inline constexpr TSeqPageRow SeqPageTable[2] = {
    {"Sequencer1", "Seq1", 3, 60, 20, 2, 8, 150, kSeq1SubPresetGroup, "Sequencer1", 128, 2, 3},
    {"Sequencer2", "Seq2", 4, 120, 20, 2, 8, 150, kSeq2SubPresetGroup, "Sequencer2", 128, 2, 3},
};

// The row of local index l (0..137): sequencer l / 69, row l % 69.
inline const TSeqParamRow& SeqParamRow(std::int32_t local) { return SeqParamTable[local % kSeqParamsPerSequencer]; }

// Fills a descriptor from a row for sequencer s (0 or 1); guiPanel is the
// plug-in's panel index of that sequencer's page, -1 without an editor.
void InitSeqParamInfo(const TSeqParamRow& row, int s, TParamInfoRec& info, std::int32_t guiPanel);

class TVoicerackArpSynth : public TVoicerackSynth {
 public:
  TVoicerackArpSynth();
  ~TVoicerackArpSynth() override;

  // Inherited, then the sequencer map (once): local l -> kSeqFirstParamId + l,
  // the reverse map, and the dispatch is enabled.
  void AssignParameterIds() override;
  // Inherited, then the 138 sequencer descriptors with their editor fields.
  void InitParameterInfo() override;
  // Inherited, then a sequencer parameter's value goes to that sequencer of
  // every synth voice (or to the pitch amount).
  void ParameterChanged(std::int32_t i) override;
  // Inherited, then the sub-preset groups 40 and 41 (they exist with or
  // without an editor), and with an editor the page buttons "Seq1" and
  // "Seq2", the effects' page buttons re-placed in a column below them, a
  // "Preset" button on each sequencer page and the pages' notebook
  // membership.
  void CreatePageButtons() override;
  // Inherited, then the panels "Sequencer1" and "Sequencer2" on the body.
  void CreatePanels() override;
  // Inherited, then both sequencer pages and the effects pages at the top
  // of the body, as wide as the main panel (the synthesis layer lays the
  // pages out again below its voice page).
  void LayoutPanels() override;

  // ---- id map
  bool IsSeqDispatchEnabled() const { return SeqDispatch; }
  // Parameter id of local l; -1 before the map is assigned or outside 0..137.
  std::int32_t SeqParamIndex(std::int32_t local) const;
  // Local index of a parameter id; -1 for other layers' ids.
  std::int32_t SeqLocalOfParam(std::int32_t id) const;
  // Rebuilds the reverse map from the map (one entry per parameter).
  void BuildSequencerReverseMap();
  // Adds the parameters of locals lo..hi, in order, to a sub-preset group.
  void AssignSequencerGroupRange(std::int32_t group, std::int32_t lo, std::int32_t hi);

  // Seq1ToPitch (s = 0) or Seq2ToPitch (s = 1) x 0.01.
  float SeqPitchAmount(int s) const {
    return PitchAmount[static_cast<std::size_t>(s & 1)].load(std::memory_order_relaxed);
  }

  // The plug-in's panel index of each sequencer page; -1 without an editor.
  std::array<std::int32_t, 2> SeqPanels{-1, -1};
  // Each sequencer page's page button and "Preset" button (null without an
  // editor).
  std::array<TSPThemeGUINoteBookButton*, 2> SeqPageButtons{};
  std::array<TSPThemeGUISubPresetsButton*, 2> SeqPresetButtons{};

 protected:
  // The action of local l for its parameter's current value.
  void DispatchSeqParameter(std::int32_t local);
  // Calls the row's setter on sequencer s of one voice with the value read.
  static void ApplySeqSetter(TDSPSynthVoice& voice, int s, const TSeqParamRow& row, std::int32_t local,
                             std::int32_t integer, float real);

 private:
  std::array<std::int16_t, kSeqParamCount> SeqMap{};
  std::vector<std::int16_t> SeqReverseMap;
  bool SeqMapAssigned = false;
  bool SeqDispatch = false;
  std::array<std::atomic<float>, 2> PitchAmount{};
};
