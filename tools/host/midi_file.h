// Standard MIDI files (format 0 and 1) read into one time-ordered list of
// channel messages with their times in seconds, following the file's tempo
// map. Meta events other than tempo and time signature, and system exclusive
// messages, are read past and dropped.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct TMidiFileEvent {
  std::int64_t Tick = 0;
  double Seconds = 0;  // from the start of the file, through the tempo map
  std::uint8_t Bytes[3] = {0, 0, 0};
  std::uint8_t Size = 0;  // 2 or 3
};

struct TMidiTempoChange {
  std::int64_t Tick = 0;
  double Seconds = 0;
  std::uint32_t MicrosPerQuarter = 500000;
};

struct TMidiTimeSignature {
  std::int64_t Tick = 0;
  int Numerator = 4;
  int Denominator = 4;
};

struct TMidiSong {
  int Format = 0;
  int TrackCount = 0;
  // Ticks per quarter note; for SMPTE-timed files the equivalent at the
  // file's fixed frame rate (tempo changes then do not apply).
  int TicksPerQuarter = 480;
  bool Smpte = false;
  double SmpteSecondsPerTick = 0;
  std::vector<TMidiFileEvent> Events;              // sorted by tick, file order kept within a tick
  std::vector<TMidiTempoChange> Tempos;            // sorted, first at tick 0 (120 BPM when the file has none)
  std::vector<TMidiTimeSignature> TimeSignatures;  // sorted, first at tick 0 (4/4 when the file has none)
  double LengthSeconds = 0;                        // time of the last event of any kind, end-of-track included

  // Position conversions through the tempo map.
  double TickToSeconds(double tick) const;
  double SecondsToTick(double seconds) const;
  double TempoAtSeconds(double seconds) const;  // beats per minute
  TMidiTimeSignature TimeSignatureAtTick(double tick) const;
};

// Parses a whole file image. On failure returns false with a message that
// names the fault and its byte offset; song is then left empty.
bool ReadMidiFile(std::span<const std::uint8_t> bytes, TMidiSong& song, std::string& error);
bool LoadMidiFile(const std::string& path, TMidiSong& song, std::string& error);

// Builds a format-0 file image from a song's channel events, tempo map and
// time signatures (used for tests, the demo phrase and fuzzing seeds).
std::vector<std::uint8_t> WriteMidiFile(const TMidiSong& song);

// The built-in demo phrase: four bars of a syncopated bass line at 120 BPM in
// 4/4, with accents, octave jumps and overlapping (legato) notes, then the
// root as a half note (the last note ends at 9 s).
TMidiSong DemoSong();

// Recomputes the seconds of events and tempo changes from their ticks.
void ApplyTempoMap(TMidiSong& song);
