#include "tools/host/midi_file.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "tools/host/input_file.h"

namespace {

// Bounded cursor over the file image: every read checks the bytes that
// remain and records the first fault with its offset.
class TByteReader {
 public:
  TByteReader(std::span<const std::uint8_t> bytes, std::size_t begin, std::size_t end)
      : Bytes(bytes), Pos(begin), End(end) {}

  bool Failed() const { return !Error.empty(); }
  const std::string& ErrorText() const { return Error; }
  std::size_t Position() const { return Pos; }
  bool AtEnd() const { return Pos >= End; }
  std::size_t Remaining() const { return End - Pos; }

  void Fail(const std::string& what) {
    if (Error.empty()) Error = what + " (at byte " + std::to_string(Pos) + ")";
  }
  bool Need(std::size_t count, const char* what) {
    if (Failed()) return false;
    if (count > Remaining()) {
      Fail(std::string("unexpected end of data in ") + what);
      return false;
    }
    return true;
  }
  std::uint8_t Byte(const char* what) {
    if (!Need(1, what)) return 0;
    return Bytes[Pos++];
  }
  std::uint8_t Peek() const { return Bytes[Pos]; }
  std::uint32_t BigEndian(int count, const char* what) {
    if (!Need(static_cast<std::size_t>(count), what)) return 0;
    std::uint32_t v = 0;
    for (int i = 0; i < count; ++i) v = (v << 8) | Bytes[Pos++];
    return v;
  }
  // Variable-length quantity: at most four bytes (28 bits).
  std::uint32_t VarLen(const char* what) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t b = Byte(what);
      if (Failed()) return 0;
      v = (v << 7) | (b & 0x7F);
      if (!(b & 0x80)) return v;
    }
    Fail(std::string("variable-length number longer than four bytes in ") + what);
    return 0;
  }
  void Skip(std::size_t count, const char* what) {
    if (Need(count, what)) Pos += count;
  }

 private:
  std::span<const std::uint8_t> Bytes;
  std::size_t Pos;
  std::size_t End;
  std::string Error;
};

struct TTrackEvent {
  TMidiFileEvent Event;
  int Track = 0;
};

std::string Hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v & 0xFFu);
  return text;
}

// Reads one track chunk's body. Channel messages, tempo changes and time
// signatures are collected; everything else is read past. Running status
// survives meta and system exclusive events, as many writers rely on it.
bool ReadTrack(TByteReader& r, int track, std::vector<TTrackEvent>& events, std::vector<TMidiTempoChange>& tempos,
               std::vector<TMidiTimeSignature>& signatures, std::int64_t& lastTick) {
  std::int64_t tick = 0;
  std::uint8_t running = 0;
  while (!r.AtEnd()) {
    tick += r.VarLen("an event's delta time");
    if (r.Failed()) return false;
    const std::uint8_t first = r.Byte("an event");
    if (r.Failed()) return false;
    std::uint8_t status = first;
    bool firstIsData = false;
    if (first < 0x80) {
      if (running == 0) {
        r.Fail("data byte " + Hex2(first) + " without a status (no running status in effect)");
        return false;
      }
      status = running;
      firstIsData = true;
    }
    lastTick = std::max(lastTick, tick);
    if (status < 0xF0) {
      running = status;
      TTrackEvent e;
      e.Track = track;
      e.Event.Tick = tick;
      e.Event.Bytes[0] = status;
      const int dataCount = ((status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) ? 1 : 2;
      e.Event.Size = static_cast<std::uint8_t>(1 + dataCount);
      for (int i = 0; i < dataCount; ++i) {
        const std::uint8_t d = (i == 0 && firstIsData) ? first : r.Byte("a channel message");
        if (r.Failed()) return false;
        if (d & 0x80) {
          r.Fail("status byte " + Hex2(d) + " where a data byte of " + Hex2(status) + " was expected");
          return false;
        }
        e.Event.Bytes[1 + i] = d;
      }
      events.push_back(e);
      continue;
    }
    if (status == 0xF0 || status == 0xF7) {
      const std::uint32_t length = r.VarLen("a system exclusive length");
      r.Skip(length, "a system exclusive message");
      if (r.Failed()) return false;
      continue;
    }
    if (status == 0xFF) {
      const std::uint8_t type = r.Byte("a meta event");
      const std::uint32_t length = r.VarLen("a meta event length");
      if (!r.Need(length, "a meta event")) return false;
      if (type == 0x2F) {
        r.Skip(length, "a meta event");
        return true;  // end of track: anything after it in the chunk is ignored
      }
      if (type == 0x51 && length >= 3) {
        const std::uint32_t micros = r.BigEndian(3, "a tempo event");
        r.Skip(length - 3, "a tempo event");
        // A zero tempo would stop time; it is read past.
        if (micros > 0) tempos.push_back({tick, 0, micros});
        continue;
      }
      if (type == 0x58 && length >= 2) {
        const int numerator = r.Byte("a time signature");
        const int power = r.Byte("a time signature");
        r.Skip(length - 2, "a time signature");
        if (numerator > 0 && power <= 6) signatures.push_back({tick, numerator, 1 << power});
        continue;
      }
      r.Skip(length, "a meta event");
      continue;
    }
    r.Fail("unexpected status byte " + Hex2(status) + " in a track");
    return false;
  }
  return true;
}

}  // namespace

double TMidiSong::TickToSeconds(double tick) const {
  if (Smpte) return tick * SmpteSecondsPerTick;
  const TMidiTempoChange* t = &Tempos.front();
  for (const auto& c : Tempos) {
    if (c.Tick > tick) break;
    t = &c;
  }
  return t->Seconds + (tick - static_cast<double>(t->Tick)) * t->MicrosPerQuarter * 1e-6 / TicksPerQuarter;
}

double TMidiSong::SecondsToTick(double seconds) const {
  if (Smpte) return seconds / SmpteSecondsPerTick;
  const TMidiTempoChange* t = &Tempos.front();
  for (const auto& c : Tempos) {
    if (c.Seconds > seconds) break;
    t = &c;
  }
  return static_cast<double>(t->Tick) + (seconds - t->Seconds) * TicksPerQuarter / (t->MicrosPerQuarter * 1e-6);
}

double TMidiSong::TempoAtSeconds(double seconds) const {
  const TMidiTempoChange* t = &Tempos.front();
  for (const auto& c : Tempos) {
    if (c.Seconds > seconds) break;
    t = &c;
  }
  return 60e6 / t->MicrosPerQuarter;
}

TMidiTimeSignature TMidiSong::TimeSignatureAtTick(double tick) const {
  TMidiTimeSignature s = TimeSignatures.front();
  for (const auto& c : TimeSignatures) {
    if (static_cast<double>(c.Tick) > tick) break;
    s = c;
  }
  return s;
}

void ApplyTempoMap(TMidiSong& song) {
  std::stable_sort(song.Tempos.begin(), song.Tempos.end(),
                   [](const TMidiTempoChange& a, const TMidiTempoChange& b) { return a.Tick < b.Tick; });
  if (song.Tempos.empty() || song.Tempos.front().Tick > 0) song.Tempos.insert(song.Tempos.begin(), TMidiTempoChange{});
  std::stable_sort(song.TimeSignatures.begin(), song.TimeSignatures.end(),
                   [](const TMidiTimeSignature& a, const TMidiTimeSignature& b) { return a.Tick < b.Tick; });
  if (song.TimeSignatures.empty() || song.TimeSignatures.front().Tick > 0)
    song.TimeSignatures.insert(song.TimeSignatures.begin(), TMidiTimeSignature{});
  double seconds = 0;
  for (std::size_t i = 0; i < song.Tempos.size(); ++i) {
    if (i > 0) {
      const auto& p = song.Tempos[i - 1];
      seconds += static_cast<double>(song.Tempos[i].Tick - p.Tick) * p.MicrosPerQuarter * 1e-6 / song.TicksPerQuarter;
    }
    song.Tempos[i].Seconds = seconds;
  }
  for (auto& e : song.Events) e.Seconds = song.TickToSeconds(static_cast<double>(e.Tick));
}

bool ReadMidiFile(std::span<const std::uint8_t> bytes, TMidiSong& song, std::string& error) {
  song = TMidiSong{};
  TByteReader r(bytes, 0, bytes.size());
  if (bytes.size() < 14 || bytes[0] != 'M' || bytes[1] != 'T' || bytes[2] != 'h' || bytes[3] != 'd') {
    error = "not a standard MIDI file (no MThd header)";
    return false;
  }
  r.Skip(4, "the header");
  const std::uint32_t headerLength = r.BigEndian(4, "the header");
  if (headerLength < 6 || headerLength > r.Remaining()) {
    error = "damaged MIDI file header (length " + std::to_string(headerLength) + ")";
    return false;
  }
  TMidiSong s;
  s.Format = static_cast<int>(r.BigEndian(2, "the header"));
  const int declaredTracks = static_cast<int>(r.BigEndian(2, "the header"));
  const std::uint32_t division = r.BigEndian(2, "the header");
  r.Skip(headerLength - 6, "the header");
  if (s.Format > 1) {
    error = "MIDI file format " + std::to_string(s.Format) + " is not supported (only formats 0 and 1)";
    return false;
  }
  if (division & 0x8000) {
    const int framesPerSecond = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
    const int ticksPerFrame = static_cast<int>(division & 0xFF);
    if ((framesPerSecond != 24 && framesPerSecond != 25 && framesPerSecond != 29 && framesPerSecond != 30) ||
        ticksPerFrame == 0) {
      error =
          "damaged MIDI file header (SMPTE division " + Hex2(division >> 8) + "/" + std::to_string(ticksPerFrame) + ")";
      return false;
    }
    s.Smpte = true;
    const double fps = framesPerSecond == 29 ? 30000.0 / 1001.0 : framesPerSecond;
    s.SmpteSecondsPerTick = 1.0 / (fps * ticksPerFrame);
    // The equivalent resolution at the default 120 BPM, for musical positions.
    s.TicksPerQuarter = std::max(1, static_cast<int>(0.5 / s.SmpteSecondsPerTick));
  } else {
    if (division == 0) {
      error = "damaged MIDI file header (zero ticks per quarter note)";
      return false;
    }
    s.TicksPerQuarter = static_cast<int>(division);
  }
  if (declaredTracks == 0) {
    error = "the MIDI file has no tracks";
    return false;
  }

  std::vector<TTrackEvent> events;
  std::int64_t lastTick = 0;
  int track = 0;
  while (track < declaredTracks) {
    if (r.Remaining() < 8) {
      error =
          "the MIDI file ends after " + std::to_string(track) + " of its " + std::to_string(declaredTracks) + " tracks";
      return false;
    }
    const std::size_t chunkStart = r.Position();
    const std::uint32_t id = r.BigEndian(4, "a chunk header");
    const std::uint32_t length = r.BigEndian(4, "a chunk header");
    if (length > r.Remaining()) {
      error = "track " + std::to_string(track + 1) + " is truncated: its header announces " + std::to_string(length) +
              " bytes, " + std::to_string(r.Remaining()) + " remain (chunk at byte " + std::to_string(chunkStart) + ")";
      return false;
    }
    const std::size_t bodyStart = r.Position();
    r.Skip(length, "a chunk");
    if (id != 0x4D54726B) continue;  // not "MTrk": an unknown chunk is read past
    TByteReader body(bytes, bodyStart, bodyStart + length);
    if (!ReadTrack(body, track, events, s.Tempos, s.TimeSignatures, lastTick)) {
      error = "track " + std::to_string(track + 1) + ": " + body.ErrorText();
      return false;
    }
    ++track;
  }
  s.TrackCount = track;

  std::stable_sort(events.begin(), events.end(), [](const TTrackEvent& a, const TTrackEvent& b) {
    if (a.Event.Tick != b.Event.Tick) return a.Event.Tick < b.Event.Tick;
    return a.Track < b.Track;
  });
  s.Events.reserve(events.size());
  for (const auto& e : events) s.Events.push_back(e.Event);
  ApplyTempoMap(s);
  s.LengthSeconds = s.TickToSeconds(static_cast<double>(lastTick));
  song = std::move(s);
  return true;
}

bool LoadMidiFile(const std::string& path, TMidiSong& song, std::string& error) {
  std::vector<std::uint8_t> bytes;
  if (!ReadInputFile(path, kMidiFileMax, "a MIDI file", bytes, error)) return false;
  if (!ReadMidiFile(bytes, song, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

namespace {

void PutBE(std::vector<std::uint8_t>& out, std::uint32_t v, int count) {
  for (int i = count - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutVarLen(std::vector<std::uint8_t>& out, std::uint32_t v) {
  std::uint8_t groups[4];
  int n = 0;
  do {
    groups[n++] = static_cast<std::uint8_t>(v & 0x7F);
    v >>= 7;
  } while (v && n < 4);
  for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(groups[i] | (i > 0 ? 0x80 : 0)));
}

}  // namespace

std::vector<std::uint8_t> WriteMidiFile(const TMidiSong& song) {
  // Meta events first within a tick, so that a tempo change at a note's tick
  // applies to that note.
  struct TItem {
    std::int64_t Tick;
    int Order;
    std::vector<std::uint8_t> Bytes;
  };
  std::vector<TItem> items;
  for (const auto& t : song.Tempos)
    items.push_back(
        {t.Tick,
         0,
         {0xFF, 0x51, 0x03, static_cast<std::uint8_t>(t.MicrosPerQuarter >> 16),
          static_cast<std::uint8_t>(t.MicrosPerQuarter >> 8), static_cast<std::uint8_t>(t.MicrosPerQuarter)}});
  for (const auto& s : song.TimeSignatures) {
    std::uint8_t power = 0;
    while ((1 << power) < s.Denominator && power < 6) ++power;
    items.push_back({s.Tick, 0, {0xFF, 0x58, 0x04, static_cast<std::uint8_t>(s.Numerator), power, 24, 8}});
  }
  for (const auto& e : song.Events) items.push_back({e.Tick, 1, std::vector<std::uint8_t>(e.Bytes, e.Bytes + e.Size)});
  std::stable_sort(items.begin(), items.end(), [](const TItem& a, const TItem& b) {
    return a.Tick != b.Tick ? a.Tick < b.Tick : a.Order < b.Order;
  });
  std::vector<std::uint8_t> track;
  std::int64_t tick = 0;
  for (const auto& item : items) {
    PutVarLen(track, static_cast<std::uint32_t>(item.Tick - tick));
    tick = item.Tick;
    track.insert(track.end(), item.Bytes.begin(), item.Bytes.end());
  }
  const std::int64_t endTick =
      std::max<std::int64_t>(tick, static_cast<std::int64_t>(song.SecondsToTick(song.LengthSeconds)));
  PutVarLen(track, static_cast<std::uint32_t>(endTick - tick));
  track.insert(track.end(), {0xFF, 0x2F, 0x00});

  std::vector<std::uint8_t> out = {'M', 'T', 'h', 'd'};
  PutBE(out, 6, 4);
  PutBE(out, 0, 2);
  PutBE(out, 1, 2);
  PutBE(out, static_cast<std::uint32_t>(song.TicksPerQuarter), 2);
  out.insert(out.end(), {'M', 'T', 'r', 'k'});
  PutBE(out, static_cast<std::uint32_t>(track.size()), 4);
  out.insert(out.end(), track.begin(), track.end());
  return out;
}

TMidiSong DemoSong() {
  TMidiSong song;
  song.TicksPerQuarter = 480;
  song.TrackCount = 1;
  const int step = 120;  // a sixteenth note
  struct TNote {
    int Step, Length, Interval, Velocity;
  };
  // One bar of sixteenths relative to the bar's root; a note whose length
  // reaches past the next one's start overlaps it (a legato slide).
  const TNote groove[] = {{0, 2, 0, 120},  {3, 1, 0, 80},  {4, 1, 12, 110},  {6, 1, 0, 90},
                          {7, 2, 10, 100}, {10, 3, 7, 95}, {12, 2, 12, 115}, {14, 2, 3, 85}};
  const TNote fill[] = {{0, 2, 0, 120}, {3, 1, 0, 80},    {4, 1, 12, 110}, {6, 1, 0, 90},    {7, 2, 10, 100},
                        {10, 2, 7, 95}, {12, 1, 12, 100}, {13, 1, 14, 90}, {14, 1, 15, 105}, {15, 2, 19, 127}};
  const int roots[] = {33, 33, 29, 31};  // A1, A1, F1, G1
  auto add = [&](int tick, std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    TMidiFileEvent e;
    e.Tick = tick;
    e.Bytes[0] = a;
    e.Bytes[1] = b;
    e.Bytes[2] = c;
    e.Size = 3;
    song.Events.push_back(e);
  };
  for (int bar = 0; bar < 4; ++bar) {
    const int barTick = bar * 16 * step;
    const std::span<const TNote> notes = bar == 3 ? std::span<const TNote>(fill) : std::span<const TNote>(groove);
    for (const auto& n : notes) {
      const auto key = static_cast<std::uint8_t>(roots[bar] + n.Interval);
      add(barTick + n.Step * step, 0x90, key, static_cast<std::uint8_t>(n.Velocity));
      add(barTick + (n.Step + n.Length) * step, 0x80, key, 64);
    }
  }
  // Resolve on the root, a half note.
  add(4 * 16 * step, 0x90, 33, 120);
  add(4 * 16 * step + 8 * step, 0x80, 33, 64);
  // Note-offs before note-ons at the same tick keep repeated keys apart;
  // overlapping different keys stay legato.
  std::stable_sort(song.Events.begin(), song.Events.end(), [](const TMidiFileEvent& a, const TMidiFileEvent& b) {
    if (a.Tick != b.Tick) return a.Tick < b.Tick;
    return (a.Bytes[0] & 0xF0) == 0x80 && (b.Bytes[0] & 0xF0) != 0x80;
  });
  song.Tempos.push_back({0, 0, 500000});
  song.TimeSignatures.push_back({0, 4, 4});
  ApplyTempoMap(song);
  song.LengthSeconds = song.Events.back().Seconds;
  return song;
}
