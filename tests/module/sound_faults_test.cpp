// Faults a musician hears, each played through the built module the way a
// host plays it: repeated notes, note starts, program changes, renders that
// must repeat bit for bit, programs that must sound as named, the low end in
// mono.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/module/audio_thread.h"
#include "tests/module/module_render.h"

namespace {

using namespace module_render;

TStereo MustPlay(const TPlaySettings& settings, const TScript& script) {
  TStereo out;
  std::string error;
  EXPECT_TRUE(Play(settings, script, out, error)) << error;
  return out;
}

int MustFindProgram(const std::string& name) {
  const int p = FindProgram(name);
  EXPECT_GE(p, 0) << "no program named " << name;
  return std::max(p, 0);
}

// ---- repeated notes

// A line of one pitch as sequencers and controllers send it: each note-on
// arrives before the previous note's note-off at the same moment. Each note
// must sound: a note-off ends only the note it belongs to.
TEST(SoundFaults, EveryNoteOfARepeatedPitchSounds) {
  for (const char* name :
       {"Acid Line", "Rumbleon Deluxe", "Glide Sub", "Mono Glide Saw", "Synth Pluck", "Sine Pluck", "Tine Pluck"}) {
    SCOPED_TRACE(name);
    TPlaySettings s;
    s.Program = MustFindProgram(name);
    s.Seconds = 2.4;
    const double start = 0.1, step = 0.125;  // sixteenths at 120 BPM
    TScript script;
    for (int k = 0; k < 16; ++k) {
      script.NoteOn(start + k * step, 40);
      if (k > 0) script.NoteOff(start + k * step, 40);
    }
    script.NoteOff(start + 16 * step, 40);
    const TStereo out = MustPlay(s, script);
    std::vector<double> levels;
    for (int k = 0; k < 16; ++k) levels.push_back(RmsDb(Both(out, start + k * step + 0.03, start + k * step + 0.11)));
    const double loudest = *std::max_element(levels.begin(), levels.end());
    EXPECT_GT(loudest, -40.0);
    int silent = 0;
    for (double level : levels) silent += level < loudest - 20.0 ? 1 : 0;
    EXPECT_EQ(silent, 0) << "notes more than 20 dB below the loudest";
  }
}

// The programs that play one note at a time (one voice), read from the
// module.
std::vector<int> OneVoicePrograms() {
  std::string error;
  std::unique_ptr<TVstPlugin> plugin = OpenInstance(44100, 512, error);
  EXPECT_NE(plugin, nullptr) << error;
  const int voices = ParamIndex("Voices");
  EXPECT_GE(voices, 0);
  std::vector<int> programs;
  if (plugin == nullptr || voices < 0) return programs;
  for (int p = 0; p < plugin->NumPrograms(); ++p) {
    plugin->SetProgram(p);
    if (plugin->ParamDisplay(voices) == "1") programs.push_back(p);
  }
  return programs;
}

// How many notes of a line of repeated notes (one every `step` seconds from
// `start`) start anew. A note taken as legato continues the sound of the
// one before it exactly as if the key had been held throughout; a new note
// restarts its envelopes and sounds otherwise. The first note counts.
int NotesStartedAnew(const TStereo& line, const TStereo& held, double start, double step, int notes) {
  int started = 1;
  for (int k = 1; k < notes; ++k) {
    const double t = start + k * step;
    std::vector<float> difference = Both(line, t, t + step);
    const std::vector<float> reference = Both(held, t, t + step);
    for (std::size_t i = 0; i < difference.size(); ++i) difference[i] -= reference[i];
    if (RmsDb(difference) > RmsDb(reference) - 40.0) ++started;
  }
  return started;
}

// Sixteen A1s in a row on every one-voice program, each note-on at the
// moment the note before it ends. Hosts list the two events at one sample
// position in either order; neither makes the notes overlap, so both play
// 16 notes, and the same sound. Notes that really overlap (the next note-on
// 10 ms before the note-off) stay one legato line, except on the sequenced
// programs (77-94), whose pattern restarts at every key struck.
TEST(SoundFaults, TouchingRepeatsOnOneVoiceProgramsAreNewNotesWhicheverEventComesFirst) {
  const std::vector<int> programs = OneVoicePrograms();
  for (int p : {0, 6, 27, 28, 29, 30, 31, 34, 35, 36, 63})
    EXPECT_NE(std::find(programs.begin(), programs.end(), p), programs.end()) << "program " << p << " has one voice";
  const double start = 0.1, step = 0.125;
  const int notes = 16, key = 33;
  enum TOrder { kNoteOnFirst, kNoteOffFirst, kOverlapping };
  struct TCase {
    TOrder Order;
    int Started;
  };
  const TCase cases[] = {{kNoteOnFirst, notes}, {kNoteOffFirst, notes}, {kOverlapping, 1}};
  for (int program : programs) {
    SCOPED_TRACE("program " + std::to_string(program));
    TPlaySettings s;
    s.Program = program;
    s.Seconds = start + (notes + 1) * step;
    const TStereo held = MustPlay(s, TScript().Note(start, notes * step, key));
    std::vector<float> touching;
    for (const TCase& c : cases) {
      if (c.Order == kOverlapping && program >= 77 && program <= 94) continue;
      TScript script;
      for (int k = 0; k < notes; ++k) {
        const double t = start + k * step;
        if (k > 0 && c.Order == kNoteOffFirst) script.NoteOff(t, key);
        script.NoteOn(t, key);
        if (k > 0 && c.Order == kNoteOnFirst) script.NoteOff(t, key);
        if (k > 0 && c.Order == kOverlapping) script.NoteOff(t + 0.01, key);
      }
      script.NoteOff(start + notes * step, key);
      const TStereo line = MustPlay(s, script);
      EXPECT_EQ(NotesStartedAnew(line, held, start, step, notes), c.Started) << "event order " << c.Order;
      if (c.Order == kNoteOnFirst) touching = line.Left;
      if (c.Order == kNoteOffFirst) {
        EXPECT_TRUE(line.Left == touching) << "both orders sound the same";
      }
    }
  }
}

// A1 held, A2 struck 100 ms before A1 is let go: over the first 40 ms of the
// overlapping note its pitch lies between the two (it glides), and then it
// arrives at A2.
TEST(SoundFaults, AnOverlappingNoteStillGlides) {
  for (const char* name : {"Glide Sub", "Acid Line", "Porta Lead Bass"}) {
    SCOPED_TRACE(name);
    TPlaySettings s;
    s.Program = MustFindProgram(name);
    s.Seconds = 1.3;
    const TStereo out = MustPlay(s, TScript().NoteOn(0.1, 33).NoteOn(0.6, 45).NoteOff(0.7, 33).NoteOff(1.2, 45));
    const double a1 = NoteHz(33), a2 = NoteHz(45);
    const double early = RepetitionFrequency(out, 0.6, 0.64, 40, 150);
    EXPECT_GT(early, a1 * 1.05);
    EXPECT_LT(early, a2 * 0.95);
    const double late = RepetitionFrequency(out, 1.0, 1.04, 80, 150);
    EXPECT_NEAR(late, a2, a2 * 0.03);
  }
}

// ---- note starts

// The demo phrase on soft programs: every note starts without a click (no
// energy above 8 kHz in its first milliseconds that the sound after it does
// not have), and so does a note after a higher one with "no glide".
TEST(SoundFaults, NotesStartWithoutAClick) {
  const TMidiSong demo = DemoSong();
  for (const char* name : {"Pure Sine Sub", "Warm Sub", "Sub Octaver", "Glide Sub", "Sine Pluck", "Rumbleon Deluxe",
                           "Classic Saw", "Reese Classic", "FM Bell Bass"}) {
    SCOPED_TRACE(name);
    std::string error;
    const std::vector<std::vector<float>> channels = RenderProgram(MustFindProgram(name), demo, 44100, 0.5, error);
    ASSERT_EQ(channels.size(), 2u) << error;
    TStereo out;
    out.Left = channels[0];
    out.Right = channels[1];
    const TBands bands = SplitBands(out);
    double worst = -200;
    for (const TMidiFileEvent& e : demo.Events)
      if ((e.Bytes[0] & 0xF0) == 0x90 && e.Bytes[2] > 0) worst = std::max(worst, ClickExcessDb(out, bands, e.Seconds));
    EXPECT_LE(worst, 6.0) << "dB above 8 kHz";
  }
  TPlaySettings s;
  s.Program = MustFindProgram("Tine Pluck");
  s.Seconds = 1.0;
  const TStereo out = MustPlay(s, TScript().Note(0.55, 0.08, 55).Note(0.70, 0.08, 31));
  EXPECT_LE(ClickExcessDb(out, SplitBands(out), 0.70), 6.0) << "the note after a higher one";
}

// ---- voice steals

// The largest second difference of either channel over from..to seconds, in
// dB: the corner a listener hears as a tick (a step in the slope that no
// filter of the sound itself rounds off).
double CornerDb(const TStereo& s, double from, double to) {
  float worst = 0.0f;
  for (const std::vector<float>* x : {&s.Left, &s.Right}) {
    const std::size_t end = std::min(s.Frame(to), x->size());
    for (std::size_t i = std::max<std::size_t>(s.Frame(from), 2); i < end; ++i)
      worst = std::max(worst, std::fabs((*x)[i] - 2.0f * (*x)[i - 1] + (*x)[i - 2]));
  }
  return worst > 0.0f ? 20.0 * std::log10(worst) : -200.0;
}

// A voice stolen while it sounds on any program with a voice limit: a
// chord of as many notes as the program has voices, then one more note.
// The corner at the steal (its second difference over the 30 ms after the
// note-on) may be no larger than that of the same note starting on a free
// voice (the program with one voice more) or than the held notes' own,
// within 6 dB: a listener hears no more than a note start. A stolen voice
// whose sources and filters restart under its sounding note ticked 13 to
// 44 dB above that on the sub and pad programs.
TEST(SoundFaults, AStolenVoiceTicksNoMoreThanANoteStart) {
  std::string error;
  std::unique_ptr<TVstPlugin> plugin = OpenInstance(44100, 512, error);
  ASSERT_NE(plugin, nullptr) << error;
  const int voicesParam = ParamIndex("Voices");
  ASSERT_GE(voicesParam, 0);
  const int keys[] = {28, 33, 40, 35, 38, 31, 43, 36, 41, 45, 47, 50, 48, 52, 55, 57, 26};
  int tested = 0;
  for (int program = 0; program < plugin->NumPrograms(); ++program) {
    plugin->SetProgram(program);
    const int voices = std::atoi(plugin->ParamDisplay(voicesParam).c_str());
    if (voices < 1 || voices >= 16) continue;
    SCOPED_TRACE(ProgramNames()[static_cast<std::size_t>(program)]);
    ++tested;
    TScript script;
    for (int k = 0; k < voices; ++k) script.NoteOn(0.1 + 0.1 * k, keys[k]);
    const double steal = 0.15 + 0.1 * voices;
    script.NoteOn(steal, keys[voices]);
    TPlaySettings s;
    s.Program = program;
    s.Seconds = steal + 0.06;
    const TStereo stolen = MustPlay(s, script);
    // "Voices" runs from 1 to 32.
    s.Prepare = [&](TVstPlugin& p) {
      p.SetParameter(voicesParam, static_cast<float>(voices) / 31.0f);
      EXPECT_EQ(std::atoi(p.ParamDisplay(voicesParam).c_str()), voices + 1);
    };
    const TStereo free = MustPlay(s, script);
    const double start = std::max(CornerDb(free, steal, steal + 0.03), CornerDb(stolen, steal - 0.05, steal - 0.005));
    EXPECT_LE(CornerDb(stolen, steal, steal + 0.03), start + 6.0) << "dB: the steal's corner against a note start's";
  }
  EXPECT_GT(tested, 100);
}

// The longest run, in ms, of frames from..to where both channels stay below
// `floor` (an amplitude).
double SilentStretchMs(const TStereo& s, double from, double to, double floor) {
  std::size_t run = 0, longest = 0;
  for (std::size_t i = s.Frame(from); i < s.Frame(to); ++i) {
    run = std::fabs(s.Left[i]) < floor && std::fabs(s.Right[i]) < floor ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return 1000.0 * static_cast<double>(longest) / s.Rate;
}

// Where two renders that differ from `at` on part: the first frame from at
// on where either channel's difference reaches a twentieth of its peak over
// the 30 ms after at, in seconds.
double PartAt(const TStereo& a, const TStereo& b, double at) {
  std::vector<float> d = Both(a, at, at + 0.03);
  const std::vector<float> e = Both(b, at, at + 0.03);
  float peak = 0.0f;
  for (std::size_t i = 0; i < d.size(); ++i) peak = std::max(peak, d[i] = std::fabs(d[i] - e[i]));
  std::size_t i = 0, n = d.size() / 2;
  while (i < n && d[i] < 0.05f * peak && d[n + i] < 0.05f * peak) ++i;
  return at + static_cast<double>(i) / a.Rate;
}

// A bass line drawn in a piano roll on every one-voice program: sixteenths
// at 160 BPM, each note ending where the next begins (note-off listed first
// or last), a melody and a repeated A1. Each new note takes the voice while
// it sounds. At every change no 1 ms or more of the output lies 40 dB below
// the note before (where that note had not fallen silent by itself, a
// sequencer's gate: then no longer than on a fresh instance), no corner
// comes more than 6 dB above a note start's, and the new note starts within
// a millisecond of the same note on a fresh instance (timed by the
// difference its velocity makes). A voice that faded its sound out before
// the note began left gaps of up to 6 ms and started every such note 3 ms late.
TEST(SoundFaults, TouchingNotesOnOneVoiceProgramsStartOnTimeWithoutAGap) {
  const double start = 0.1, step = 60.0 / 160.0 / 4.0;
  constexpr int kNotes = 8, kTimed = 5;  // kTimed: the note whose start is timed
  const int melody[kNotes] = {33, 40, 45, 43, 36, 38, 31, 33}, repeats[kNotes] = {33, 33, 33, 33, 33, 33, 33, 33};
  const struct {
    const int* Keys;
    bool OffFirst;
  } cases[] = {{melody, true}, {melody, false}, {repeats, true}, {repeats, false}};
  for (int program : OneVoicePrograms()) {
    for (const auto& c : cases) {
      SCOPED_TRACE(ProgramNames()[static_cast<std::size_t>(program)] + (c.Keys == melody ? ", melody" : ", repeats") +
                   (c.OffFirst ? ", note-off first" : ", note-on first"));
      auto line = [&](int timedVelocity) {
        TScript script;
        for (int k = 0; k < kNotes; ++k) {
          const double t = start + k * step;
          if (k > 0 && c.OffFirst) script.NoteOff(t, c.Keys[k - 1]);
          script.NoteOn(t, c.Keys[k], k == kTimed ? timedVelocity : 100);
          if (k > 0 && !c.OffFirst) script.NoteOff(t, c.Keys[k - 1]);
        }
        return script.NoteOff(start + kNotes * step, c.Keys[kNotes - 1]);
      };
      TPlaySettings s;
      s.Program = program;
      s.Seconds = start + (kNotes + 1) * step;
      const TStereo played = MustPlay(s, line(100)), softer = MustPlay(s, line(60));
      for (int k = 1; k < kNotes; ++k) {
        SCOPED_TRACE("note " + std::to_string(k));
        const double t = start + k * step;
        TPlaySettings f = s;
        f.Seconds = t + 0.04;
        const TStereo fresh = MustPlay(f, TScript().NoteOn(t, c.Keys[k]));
        const double floor = std::sqrt(0.5) * std::pow(10.0, (RmsDb(Both(played, t - 0.02, t)) - 40.0) / 20.0);
        const bool fellSilent = SilentStretchMs(played, t - 0.001, t, floor) > 0.9;
        EXPECT_LT(SilentStretchMs(played, t, t + 0.02, floor),
                  fellSilent ? SilentStretchMs(fresh, t, t + 0.02, floor) + 1.0 : 1.0)
            << "ms 40 dB below the note before";
        const double noteStart = std::max(CornerDb(fresh, t, t + 0.03), CornerDb(played, t - 0.05, t - 0.005));
        EXPECT_LE(CornerDb(played, t, t + 0.03), noteStart + 6.0) << "dB: the change's corner against a note start's";
        if (k != kTimed) continue;
        const TStereo freshSofter = MustPlay(f, TScript().NoteOn(t, c.Keys[k], 60));
        EXPECT_LE(PartAt(played, softer, t) - PartAt(fresh, freshSofter, t), 0.001)
            << "s later than on a fresh instance";
      }
    }
  }
}

// ---- the low end in mono

// Chorused programs and the pads: below 150 Hz the two sides stay alike, so
// the bass keeps its level summed to mono (pads may be wider).
TEST(SoundFaults, TheLowEndSurvivesAMonoSum) {
  for (const char* name : {"Chorus Bass", "Reese Chorus", "Picked Chorus", "Two Saws", "Wide Reese", "Dub Delay Bass",
                           "Bass Pad", "Organ Pad", "Vowel Pad", "Choir Bass", "Soft String Bass"}) {
    SCOPED_TRACE(name);
    const int program = MustFindProgram(name);
    const bool pad = program >= 95 && program <= 104;  // the README's pads
    TPlaySettings s;
    s.Program = program;
    s.Seconds = 2.6;
    const TStereo held = MustPlay(s, TScript().Note(0.1, 2.0, 40));
    EXPECT_GE(LowEndCorrelation(held, SplitBands(held), 0.3, 2.1), pad ? 0.7 : 0.9) << "held note";
    const TStereo chord = MustPlay(s, TScript().Note(0.1, 2.0, 40).Note(0.1, 2.0, 47).Note(0.1, 2.0, 52));
    EXPECT_GE(LowEndCorrelation(chord, SplitBands(chord), 0.3, 2.1), pad ? 0.7 : 0.9) << "chord";
  }
}

// ---- program changes

// The largest step between neighbouring samples of either channel.
float LargestStep(const TStereo& s, double from, double to) {
  return std::max(testing_support::LargestStep(s.Left, s.Frame(from), s.Frame(to)),
                  testing_support::LargestStep(s.Right, s.Frame(from), s.Frame(to)));
}

// A program change while a note is held ends the old sound with a short
// fade instead of a step to silence, and a note that arrives with the
// change plays in the new program.
TEST(SoundFaults, AProgramChangeDuringAHeldNoteFadesTheOldSound) {
  for (double rate : {44100.0, 96000.0}) {
    SCOPED_TRACE(rate);
    TPlaySettings s;
    s.Rate = rate;
    s.Program = MustFindProgram("Pure Sine Sub");
    s.Seconds = 1.2;
    // Rendered faster than real time, as an offline host does, and said so:
    // a host that claims real time while rendering at full speed gives the
    // module's worker less than the settle time it has in a real-time host,
    // and on a busy machine the new program would miss the note.
    s.Prepare = [](TVstPlugin& p) { p.SetProcessLevel(kVstProcessLevelOffline); };
    const double change = 0.6;
    TScript script;
    script.NoteOn(0.1, 40)
        .Program(change, MustFindProgram("Warm Sub"))
        .NoteOn(change, 52)
        .NoteOff(1.0, 40)
        .NoteOff(1.0, 52);
    const TStereo out = MustPlay(s, script);
    // No step between samples larger than either note's own.
    const float held = std::max(LargestStep(out, 0.3, change - 0.01), LargestStep(out, change + 0.1, change + 0.3));
    ASSERT_GT(held, 0.0f);
    EXPECT_LT(LargestStep(out, change - 0.01, change + 0.03), 1.2f * held) << "a step at the change";
    // The old note is gone within a few milliseconds; the new one sounds.
    EXPECT_GT(RmsDb(Both(out, change + 0.1, change + 0.3)), -30.0);
    const double f = PeakFrequency(out, change + 0.1, change + 0.35, 30, 1000);
    EXPECT_NEAR(12.0 * std::log2(f / NoteHz(52)), 0.0, 0.2) << "only the note played after the change";
  }
}

// The first notes after a program change, a chord (E2 B2 E3) held across
// it and released 0.2 s later: each of four notes sounds as on a fresh
// instance of the program (its first 30 ms, 5 ms windows within 3 dB, both
// held above 50 dB below the fresh note; no corner 6 dB above the fresh
// note's). The change comes between two calls of the processing thread or
// from another thread while an audio thread streams in real time. A reset
// voice kept its envelopes' levels, and the next note faded in from them: a
// burst 12 dB above the fresh note's start, corners 20 to 40 dB above its,
// first notes 5 to 12 dB softer.
TEST(SoundFaults, TheFirstNotesAfterAProgramChangeSoundAsOnAFreshInstance) {
  const struct {
    const char *From, *To;
    bool OtherThread;
  } cases[] = {{"Bass Pad", "Bass Pad", false},
               {"Warm Sub", "Warm Sub", false},
               {"Classic Saw", "Picked Bass", false},
               {"Picked Bass", "Picked Bass", true}};
  constexpr int kFrames = 256;
  const double change = 0.3, release = change + 0.2;
  const int chord[] = {40, 47, 52}, keys[] = {40, 43, 47, 50};
  auto noteAt = [&](int k) { return release + 0.25 + 0.25 * k; };
  auto notes = [&](double shift) {  // the four notes, `shift` seconds later
    TScript script;
    for (int k = 0; k < 4; ++k) script.Note(noteAt(k) + shift, 0.2, keys[k]);
    return script;
  };
  auto midi = [](double t, int status, int key) {
    return TTimedMidi{static_cast<std::size_t>(t * 44100), {std::uint8_t(status), std::uint8_t(key), 100}};
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.From) + " to " + c.To + (c.OtherThread ? ", from another thread" : ""));
    TPlaySettings s;
    s.Program = MustFindProgram(c.From);
    s.Block = kFrames;
    s.Seconds = noteAt(4);
    TStereo played;
    double shift = 0;  // how much later than planned the other thread's change landed
    if (!c.OtherThread) {
      TScript script = notes(0).Program(change, MustFindProgram(c.To));
      for (int key : chord) script.NoteOn(0.05, key).NoteOff(release, key);
      played = MustPlay(s, script);
    } else {
      std::unique_ptr<TVstPlugin> plugin = Streamable(s.Program, kFrames, kVstProcessLevelRealtime);
      ASSERT_NE(plugin, nullptr);
      std::vector<TTimedMidi> held, after;
      for (int key : chord) {
        held.push_back(midi(0.05, 0x90, key));
        after.push_back(midi(release - change, 0x80, key));
      }
      const TScript fromChange = notes(-change);
      for (const TScriptEvent& e : fromChange.Events()) after.push_back(midi(e.Seconds, e.Bytes[0], e.Bytes[1]));
      TAudioThread audio(*plugin, kFrames, true, held);
      audio.AddAnchored(after);
      audio.Record(noteAt(4) + 0.1);
      audio.Start();
      ASSERT_TRUE(audio.AwaitFrame(static_cast<std::size_t>(change * 44100)));
      audio.Anchor();
      plugin->SetProgram(MustFindProgram(c.To));
      ASSERT_TRUE(audio.Finish());
      played = audio.Output();
      shift = static_cast<double>(audio.AnchoredAt()) / 44100 - change;
    }
    s.Program = MustFindProgram(c.To);
    s.Seconds += shift;
    const TStereo fresh = MustPlay(s, notes(shift));
    for (int k = 0; k < 4; ++k) {
      SCOPED_TRACE("note " + std::to_string(k + 1));
      const double t = noteAt(k) + shift, floor = std::max(RmsDb(Both(fresh, t + 0.03, t + 0.2)) - 50.0, -100.0);
      for (double w = 0; w < 0.03; w += 0.005)
        EXPECT_NEAR(std::max(RmsDb(Both(played, t + w, t + w + 0.005)), floor),
                    std::max(RmsDb(Both(fresh, t + w, t + w + 0.005)), floor), 3.0)
            << "dB from " << w * 1e3 << " ms, against a fresh instance";
      EXPECT_LE(CornerDb(played, t, t + 0.03), CornerDb(fresh, t, t + 0.03) + 6.0)
          << "dB: a corner a fresh note has not";
    }
  }
}

// ---- renders that repeat

// A program's state with the reverb on in its random room ("Big1").
std::vector<std::uint8_t> RandomRoomState(const std::string& program) {
  std::string error;
  std::unique_ptr<TVstPlugin> source = OpenInstance(44100, 512, error);
  EXPECT_NE(source, nullptr) << error;
  if (source == nullptr) return {};
  source->SetProgram(MustFindProgram(program));
  source->SetParameter(ParamIndex("FxOn"), 1.0f);
  source->SetParameter(ParamIndex("RvbOn"), 1.0f);
  source->SetParameter(ParamIndex("RvbMode"), 0.0f);
  EXPECT_EQ(source->ParamDisplay(ParamIndex("RvbMode")), "Big1");
  return source->GetChunk(true);
}

// Every random source of an instance starts from a fixed seed: two
// instances given the same state render the same bits, whatever the
// process made before them; within a render the randomness stays (the
// random octaves still change from step to step).
TEST(SoundFaults, TwoInstancesFromTheSameStateRenderTheSameBits) {
  for (const char* name : {"Random Octaves", "Space Bass"}) {
    SCOPED_TRACE(name);
    const std::vector<std::uint8_t> state = RandomRoomState(name);
    ASSERT_FALSE(state.empty());
    TScript script;
    for (int k = 0; k < 4; ++k) script.Note(0.1 + 0.6 * k, 0.5, 40 + 5 * k);
    std::vector<TStereo> renders;
    for (int instance = 0; instance < 2; ++instance) {
      std::string error;
      std::unique_ptr<TVstPlugin> plugin = OpenInstance(44100, 512, error);
      ASSERT_NE(plugin, nullptr) << error;
      plugin->SetChunk(state, true);
      TPlaySettings s;
      s.Seconds = 3.0;
      TStereo out;
      ASSERT_TRUE(PlayOn(*plugin, s, script, out, error)) << error;
      renders.push_back(std::move(out));
    }
    EXPECT_GT(RmsDb(Both(renders[0], 0.1, 2.6)), -40.0);
    EXPECT_TRUE(renders[0].Left == renders[1].Left && renders[0].Right == renders[1].Right) << "the two renders differ";
  }
  // The octave drawn at each step of a held note still varies.
  TPlaySettings s;
  s.Program = MustFindProgram("Random Octaves");
  s.Seconds = 2.2;
  TScript script;
  script.Note(0.1, 2.0, 40);
  const TStereo out = MustPlay(s, script);
  int octaves[3] = {0, 0, 0};
  for (int k = 0; k < 16; ++k) {
    const double from = 0.1 + 0.125 * k + 0.02, to = from + 0.08;
    const double f = PeakFrequency(out, from, to, 30, 800);
    const double octave = std::log2(f / NoteHz(40));
    for (int o = 0; o < 3; ++o) octaves[o] += std::fabs(octave - o) < 0.1 ? 1 : 0;
  }
  EXPECT_GE((octaves[0] > 0) + (octaves[1] > 0) + (octaves[2] > 0), 2)
      << octaves[0] << " steps at the note, " << octaves[1] << " an octave up, " << octaves[2] << " two up";
}

// ---- programs that sound as named

// Level in dB of a band's 50 ms windows over from..to: the spread between the
// loudest and the quietest.
double LevelSwingDb(const std::vector<float>& band, double rate, double from, double to) {
  double lo = 1e9, hi = -1e9;
  for (double t = from; t + 0.05 <= to; t += 0.01) {
    const auto a = static_cast<std::size_t>(t * rate), n = static_cast<std::size_t>(0.05 * rate);
    const double l = RmsDb(std::span<const float>(band).subspan(a, n));
    lo = std::min(lo, l);
    hi = std::max(hi, l);
  }
  return hi - lo;
}

// Two oscillators a few cents either side of the note: both must sound, so
// the note is in tune at their centre, it beats, and the sides are balanced.
TEST(SoundFaults, DetunedProgramsPlayBothOscillators) {
  // ("Trance Gate" plays "Detuned Reese" through a gate.)
  for (const char* name : {"Two Saws", "Detuned Reese", "Wide Reese", "Bass Pad"}) {
    SCOPED_TRACE(name);
    TPlaySettings s;
    s.Program = MustFindProgram(name);
    s.Seconds = 3.2;
    const TStereo out = MustPlay(s, TScript().Note(0.1, 3.0, 40));
    const double f = PeakFrequency(out, 1.0, 3.0, 30, 1000);
    const double ratios[] = {0.5, 1, 2, 3, 4};
    EXPECT_LT(std::fabs(CentsToNearest(f, NoteHz(40), ratios)), 3.0) << f << " Hz";
    EXPECT_NEAR(RmsDb(out.LeftPart(1.0, 3.0)), RmsDb(out.RightPart(1.0, 3.0)), 1.5) << "left against right";
    std::vector<float> mono(out.Left.size());
    for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = out.Left[i] + out.Right[i];
    EXPECT_GT(LevelSwingDb(LowPass(mono, out.Rate, 300), out.Rate, 1.0, 3.0), 3.0) << "no beating";
  }
}

// "Bit Crush": a quantised sound at every velocity, neither silent when
// played softly nor a plain wave.
TEST(SoundFaults, BitCrushCrushesAtEveryVelocity) {
  for (int velocity : {10, 30, 56, 90, 127}) {
    SCOPED_TRACE("velocity " + std::to_string(velocity));
    TPlaySettings s;
    s.Program = MustFindProgram("Bit Crush");
    s.Seconds = 1.2;
    const TStereo out = MustPlay(s, TScript().Note(0.1, 1.0, 40, velocity));
    const std::span<const float> held = out.LeftPart(0.3, 1.0);
    EXPECT_GT(RmsDb(held), -50.0 + 20.0 * std::log10(velocity / 127.0)) << "silent";
    std::vector<float> values(held.begin(), held.end());
    std::sort(values.begin(), values.end());
    const auto distinct = std::unique(values.begin(), values.end()) - values.begin();
    EXPECT_GE(distinct, 4) << "a wave needs some steps";
    EXPECT_LE(distinct, 64) << "not crushed";
  }
}

// The wobble programs: the sequencer's cycle envelope sweeps the filter once
// a step, so the sound's upper part swings by more than a few decibels.
TEST(SoundFaults, WobbleProgramsWobble) {
  for (const char* name : {"Wobble Eighths", "Wobble Sixteenths"}) {
    SCOPED_TRACE(name);
    TPlaySettings s;
    s.Program = MustFindProgram(name);
    s.Seconds = 2.2;
    const TStereo out = MustPlay(s, TScript().Note(0.1, 2.0, 40));
    EXPECT_GT(LevelSwingDb(HighPass(out.Left, out.Rate, 300), out.Rate, 0.5, 2.0), 6.0);
  }
}

// ---- the silence gate

// A note held at volume 0 through the effects: the output is silence, so
// after about two seconds the instrument must stop rendering (the gated
// calls cost a small part of what rendering does). Raising the volume brings
// the held note back.
TEST(SoundFaults, TheSilenceGateClosesOnANoteHeldAtVolumeZeroThroughTheEffects) {
  for (const char* name : {"Rumbleon Deluxe", "Space Bass", "Pure Sine Sub"}) {
    SCOPED_TRACE(name);
    TPlaySettings s;
    s.Program = MustFindProgram(name);
    s.Seconds = 5.0;
    TScript script;
    script.NoteOn(0.1, 40).Parameter(0.3, 0, 0.0f).Parameter(4.4, 0, 0.5f).NoteOff(4.9, 40);
    // Played again when the gated calls cost too much: a busy machine can
    // charge an interrupt or a cache refill to any call, a renderer that
    // renders costs in every play.
    double rendering = 0, gated = 0;
    for (int play = 0; play < 3 && (play == 0 || gated >= 0.25 * rendering); ++play) {
      const TStereo out = MustPlay(s, script);
      EXPECT_LT(RmsDb(Both(out, 0.4, 4.3)), -100.0) << "silent at volume 0";
      EXPECT_GT(RmsDb(Both(out, 4.5, 4.9)), -40.0) << "the held note back with the volume";
      rendering = out.CpuSeconds(0.4, 1.8);
      gated = out.CpuSeconds(2.8, 4.2);
    }
    EXPECT_LT(gated, 0.25 * rendering) << "still rendering: " << gated << " s of CPU against " << rendering;
  }
}

}  // namespace
