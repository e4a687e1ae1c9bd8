// The standard MIDI file reader: timing through the tempo map, running
// status, merging of tracks, and clear errors on damaged files.
#include "tools/host/midi_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <utility>

namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Header(int format, int tracks, int division) {
  return {'M',
          'T',
          'h',
          'd',
          0,
          0,
          0,
          6,
          0,
          static_cast<std::uint8_t>(format),
          0,
          static_cast<std::uint8_t>(tracks),
          static_cast<std::uint8_t>(division >> 8),
          static_cast<std::uint8_t>(division & 0xFF)};
}

void AddTrack(TBytes& file, std::initializer_list<std::uint8_t> body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  file.insert(file.end(), {'M', 'T', 'r', 'k', static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                           static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  file.insert(file.end(), body);
}

TMidiSong MustRead(const TBytes& bytes) {
  TMidiSong song;
  std::string error;
  EXPECT_TRUE(ReadMidiFile(bytes, song, error)) << error;
  return song;
}

std::string ErrorOf(const TBytes& bytes) {
  TMidiSong song;
  std::string error;
  EXPECT_FALSE(ReadMidiFile(bytes, song, error));
  EXPECT_TRUE(song.Events.empty());
  return error;
}

TEST(MidiFile, RunningStatusAndTempoChangeGiveExactTimes) {
  TBytes f = Header(0, 1, 480);
  AddTrack(f, {
                  0x00, 0x90, 60,   100,                     // note on at 0
                  0x83, 0x60, 62,   90,                      // running status: note on at 480
                  0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40,  // 60 BPM from 480 on
                  0x83, 0x60, 60,   0,                       // running status survives the meta event: at 960
                  0x00, 0xFF, 0x2F, 0x00,
              });
  const TMidiSong s = MustRead(f);
  ASSERT_EQ(s.Events.size(), 3u);
  EXPECT_DOUBLE_EQ(s.Events[0].Seconds, 0.0);
  EXPECT_DOUBLE_EQ(s.Events[1].Seconds, 0.5);
  EXPECT_DOUBLE_EQ(s.Events[2].Seconds, 1.5);  // 480 ticks at 60 BPM after 0.5 s
  EXPECT_EQ(s.Events[2].Bytes[0], 0x90);
  EXPECT_EQ(s.Events[2].Bytes[1], 60);
  EXPECT_DOUBLE_EQ(s.TempoAtSeconds(0.4), 120.0);
  EXPECT_DOUBLE_EQ(s.TempoAtSeconds(0.6), 60.0);
  EXPECT_DOUBLE_EQ(s.SecondsToTick(1.5), 960.0);
  EXPECT_DOUBLE_EQ(s.LengthSeconds, 1.5);
}

TEST(MidiFile, Format1MergesTracksAndAppliesTheTempoTrack) {
  TBytes f = Header(1, 2, 96);
  AddTrack(f, {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,     // 120 BPM
               0x00, 0xFF, 0x58, 0x04, 0x03, 0x02, 24,   8,  // 3/4
               0x60, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90,     // 240 BPM at tick 96
               0x00, 0xFF, 0x2F, 0x00});
  AddTrack(f, {0x00, 0xC0, 5,           // program change (one data byte)
               0x60, 0x91, 40, 64,      // tick 96
               0x30, 0xE1, 0x00, 0x40,  // pitch bend at tick 144
               0x00, 0xFF, 0x2F, 0x00});
  const TMidiSong s = MustRead(f);
  EXPECT_EQ(s.Format, 1);
  EXPECT_EQ(s.TrackCount, 2);
  ASSERT_EQ(s.Events.size(), 3u);
  EXPECT_EQ(s.Events[0].Size, 2);
  EXPECT_DOUBLE_EQ(s.Events[1].Seconds, 0.5);
  EXPECT_DOUBLE_EQ(s.Events[2].Seconds, 0.5 + 48.0 / 96 * 0.25);
  EXPECT_EQ(s.TimeSignatureAtTick(0).Numerator, 3);
  EXPECT_EQ(s.TimeSignatureAtTick(0).Denominator, 4);
}

// Channel pressure carries one data byte, also under running status; the
// bytes after it are the next event's, not a second data byte.
TEST(MidiFile, ChannelPressureTakesOneDataByteAlsoUnderRunningStatus) {
  TBytes f = Header(0, 1, 480);
  AddTrack(f, {0x00, 0xD3, 0x40,     // pressure 64 on channel 4
               0x10, 0x20,           // running status: pressure 32 at tick 16
               0x00, 0x93, 45, 100,  // a note on right after
               0x00, 0xFF, 0x2F, 0x00});
  const TMidiSong s = MustRead(f);
  ASSERT_EQ(s.Events.size(), 3u);
  EXPECT_EQ(s.Events[0].Size, 2);
  EXPECT_EQ(s.Events[0].Bytes[0], 0xD3);
  EXPECT_EQ(s.Events[0].Bytes[1], 0x40);
  EXPECT_EQ(s.Events[1].Size, 2);
  EXPECT_EQ(s.Events[1].Tick, 16);
  EXPECT_EQ(s.Events[1].Bytes[0], 0xD3);
  EXPECT_EQ(s.Events[1].Bytes[1], 0x20);
  EXPECT_EQ(s.Events[2].Tick, 16);
  EXPECT_EQ(s.Events[2].Bytes[0], 0x93);
  EXPECT_EQ(s.Events[2].Bytes[1], 45);
  // Written and read back, pressure stays one data byte.
  const TMidiSong again = MustRead(WriteMidiFile(s));
  ASSERT_EQ(again.Events.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(again.Events[i].Size, s.Events[i].Size) << i;
    EXPECT_EQ(again.Events[i].Tick, s.Events[i].Tick) << i;
    EXPECT_EQ(std::memcmp(again.Events[i].Bytes, s.Events[i].Bytes, s.Events[i].Size), 0) << i;
  }
}

// Events of two tracks at the same tick keep the tracks' order (the first
// track's first), each track's own order within it, and a tempo change of
// the first track at that tick times only what follows.
TEST(MidiFile, SameTickEventsOfTwoTracksKeepTrackAndFileOrder) {
  TBytes f = Header(1, 2, 96);
  AddTrack(f, {0x60, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40,  // 60 BPM from tick 96
               0x00, 0x90, 50,   90,                      // tick 96
               0x00, 0x80, 48,   64,                      // tick 96, after it
               0x60, 0x80, 50,   64,                      // tick 192
               0x00, 0xFF, 0x2F, 0x00});
  AddTrack(f, {0x60, 0x91, 40, 64,  // tick 96
               0x00, 0x81, 38, 64,  // tick 96
               0x60, 0x81, 40, 64,  // tick 192
               0x00, 0xFF, 0x2F, 0x00});
  const TMidiSong s = MustRead(f);
  ASSERT_EQ(s.Events.size(), 6u);
  const std::uint8_t order[6][2] = {{0x90, 50}, {0x80, 48}, {0x91, 40}, {0x81, 38}, {0x80, 50}, {0x81, 40}};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(s.Events[i].Bytes[0], order[i][0]) << i;
    EXPECT_EQ(s.Events[i].Bytes[1], order[i][1]) << i;
  }
  for (std::size_t i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(s.Events[i].Seconds, 0.5) << i;  // 96 ticks at 120 BPM
  EXPECT_DOUBLE_EQ(s.Events[4].Seconds, 1.5);                                           // then 96 ticks at 60 BPM
  EXPECT_DOUBLE_EQ(s.Events[5].Seconds, 1.5);
}

TEST(MidiFile, SysexUnknownMetaAndUnknownChunksAreReadPast) {
  TBytes f = Header(0, 1, 480);
  f.insert(f.end(), {'X', 'y', 'z', 'w', 0, 0, 0, 2, 0xAA, 0xBB});                     // alien chunk
  AddTrack(f, {0x00, 0xF0, 0x03, 0x41, 0x10, 0xF7,                                     // sysex
               0x00, 0xF7, 0x02, 0x01, 0x02,                                           // escape
               0x00, 0xFF, 0x03, 0x04, 'B',  'a',  's',  's',                          // track name
               0x00, 0x90, 45,   100,  0x00, 0xFF, 0x2F, 0x00, 0x00, 0x90, 46, 100});  // after end of track: ignored
  const TMidiSong s = MustRead(f);
  ASSERT_EQ(s.Events.size(), 1u);
  EXPECT_EQ(s.Events[0].Bytes[1], 45);
}

TEST(MidiFile, SmpteDivisionCountsFramesNotBeats) {
  TBytes f = Header(0, 1, 0xE728);                                   // -25 fps, 40 ticks per frame: 1 ms per tick
  AddTrack(f, {0x87, 0x68, 0x90, 50, 100, 0x00, 0xFF, 0x2F, 0x00});  // tick 1000
  const TMidiSong s = MustRead(f);
  ASSERT_EQ(s.Events.size(), 1u);
  EXPECT_NEAR(s.Events[0].Seconds, 1.0, 1e-12);
}

TEST(MidiFile, DamagedFilesGiveClearErrors) {
  EXPECT_EQ(ErrorOf({'R', 'I', 'F', 'F'}), "not a standard MIDI file (no MThd header)");
  TBytes cut = Header(0, 1, 480);
  AddTrack(cut, {0x00, 0x90, 60, 100, 0x00, 0xFF, 0x2F, 0x00});
  cut.resize(cut.size() - 3);
  EXPECT_NE(ErrorOf(cut).find("track 1 is truncated"), std::string::npos);
  // Damaged tracks, each the file's only one.
  const std::pair<TBytes, const char*> tracks[] = {
      {{0x00, 60, 100}, "without a status"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 60, 1}, "longer than four bytes"},
      {{0x00, 0xFF, 0x01, 0x7F, 'a'}, "unexpected end of data in a meta event"},  // meta length beyond the track
      {{0x00, 0x90, 60, 0x90}, "where a data byte"},                              // status where data belongs
      {{0x00, 0xF3, 0x01}, "unexpected status byte 0xF3"},
      // The file ends inside an event, exactly where the track says it ends.
      {{0x00, 0x90, 60}, "unexpected end of data"},
      {{0x00, 0xFF}, "unexpected end of data"},
      {{0x81}, "unexpected end of data"},
      {{0x00, 0xF0, 0x85}, "unexpected end of data"},
  };
  for (const auto& [body, expected] : tracks) {
    TBytes f = Header(0, 1, 480);
    const auto n = static_cast<std::uint8_t>(body.size());
    f.insert(f.end(), {'M', 'T', 'r', 'k', 0, 0, 0, n});
    f.insert(f.end(), body.begin(), body.end());
    EXPECT_NE(ErrorOf(f).find(expected), std::string::npos) << expected;
  }
  EXPECT_NE(ErrorOf(Header(2, 1, 480)).find("format 2 is not supported"), std::string::npos);
  EXPECT_NE(ErrorOf(Header(0, 1, 0)).find("zero ticks"), std::string::npos);
  EXPECT_NE(ErrorOf(Header(1, 3, 480)).find("ends after 0 of its 3 tracks"), std::string::npos);
}

TEST(MidiFile, EveryTruncationOfAValidFileIsHandled) {
  const TBytes full = WriteMidiFile(DemoSong());
  for (std::size_t n = 0; n < full.size(); ++n) {
    TMidiSong song;
    std::string error;
    const TBytes part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(ReadMidiFile(part, song, error) && song.Events.size() == DemoSong().Events.size()) << n;
  }
}

TEST(MidiFile, WrittenSongReadsBackWithTheSameEventsAndTimes) {
  TMidiSong song = DemoSong();
  song.Tempos.push_back({1920, 0, 400000});  // 150 BPM from bar 2
  song.TimeSignatures.push_back({3840, 7, 8});
  ApplyTempoMap(song);
  const TMidiSong back = MustRead(WriteMidiFile(song));
  ASSERT_EQ(back.Events.size(), song.Events.size());
  for (std::size_t i = 0; i < song.Events.size(); ++i) {
    EXPECT_EQ(back.Events[i].Tick, song.Events[i].Tick);
    EXPECT_DOUBLE_EQ(back.Events[i].Seconds, song.Events[i].Seconds);
    EXPECT_EQ(0, std::memcmp(back.Events[i].Bytes, song.Events[i].Bytes, 3));
  }
  EXPECT_EQ(back.TimeSignatureAtTick(4000).Numerator, 7);
  EXPECT_DOUBLE_EQ(back.TempoAtSeconds(5.0), 150.0);
}

TEST(MidiFile, DemoPhraseIsABassLineOfFourBarsAndAResolution) {
  const TMidiSong s = DemoSong();
  EXPECT_DOUBLE_EQ(s.LengthSeconds, 9.0);  // 4 bars at 120 BPM and a half note
  int held[128] = {};
  int maxHeld = 0, notes = 0;
  for (const auto& e : s.Events) {
    const int key = e.Bytes[1];
    EXPECT_GE(key, 28);  // E1 and above ...
    EXPECT_LE(key, 55);  // ... up to G3: a bass register
    if ((e.Bytes[0] & 0xF0) == 0x90) {
      ++notes;
      ++held[key];
    } else {
      --held[key];
    }
    int now = 0;
    for (int h : held) now += h > 0;
    maxHeld = std::max(maxHeld, now);
  }
  for (int h : held) EXPECT_EQ(h, 0);  // every note released
  EXPECT_GE(notes, 30);
  EXPECT_EQ(maxHeld, 2);  // overlapping notes: legato slides
}

}  // namespace
