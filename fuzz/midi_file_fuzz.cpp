// The host's standard MIDI file reader.
#include "fuzz/support/fuzz_support.h"
#include "tools/host/midi_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TMidiSong song;
  std::string error;
  if (ReadMidiFile({data, size}, song, error)) {
    // A song that was read must be usable: positions through the tempo map.
    for (const auto& e : song.Events) (void)song.SecondsToTick(e.Seconds);
    (void)song.TimeSignatureAtTick(static_cast<double>(song.Events.empty() ? 0 : song.Events.back().Tick));
  }
  return 0;
}

TFuzzSeeds RumbleonFuzzSeeds() {
  TMidiSong song = DemoSong();
  TFuzzSeeds seeds = {WriteMidiFile(song)};
  song.Tempos.push_back({960, 0, 300000});
  song.TimeSignatures.push_back({1920, 7, 8});
  ApplyTempoMap(song);
  seeds.push_back(WriteMidiFile(song));
  return seeds;
}
