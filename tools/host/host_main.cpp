// rumbleon-host: a headless VST 2 host for the command line.
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "framework/base/printable_text.h"
#include "tools/host/checks.h"
#include "tools/host/editor_host.h"
#include "tools/host/fx_bank.h"
#include "tools/host/input_file.h"
#include "tools/host/midi_file.h"
#include "tools/host/renderer.h"
#include "tools/host/vst_host.h"
#include "tools/host/wav_file.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  rumbleon-host info MODULE.so\n"
    "      the plug-in's record, every parameter's name and display text, every program's name\n"
    "  rumbleon-host render MODULE.so [MIDIFILE | --demo] -o OUT.wav [--rate HZ] [--block N]\n"
    "      [--program N] [--bank FILE.fxb | --state FILE] [--set NAME=VALUE]... [--format 16|24|float]\n"
    "      [--tail SECONDS] [--max-seconds SECONDS]\n"
    "      plays a standard MIDI file (or the built-in demo phrase) into a WAV file; --set sets a\n"
    "      parameter by name to a normalised value (0 to 1) after the program; a render longer\n"
    "      than an hour (or --max-seconds) is refused before anything is written\n"
    "  rumbleon-host check MODULE.so [--only NAME,...] [--seed N] [--timeout SECONDS] [--no-fork] [--list]\n"
    "      the conformance checks; exit status 1 when any fails\n"
    "  rumbleon-host editor MODULE.so [--program N] [--screenshot FILE.png] [--script FILE]\n"
    "      opens the plug-in's editor in a window, prints its automation and parameter changes\n"
    "  rumbleon-host write-demo OUT.mid\n"
    "      writes the built-in demo phrase as a standard MIDI file\n"
    "Files read must be regular files of at most 16 MiB (MIDI), 256 MiB (state, bank) or 1 MiB\n"
    "(editor script). A state or bank the plug-in refuses ends render with exit status 1.\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "rumbleon-host: " << problem << "\n";
  std::cerr << kUsage;
  return 2;
}

std::string Fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string Db(double amplitude) {
  return amplitude > 0 ? Fixed(20 * std::log10(amplitude), 1) + " dBFS" : "-inf dBFS";
}

template <class T>
bool ParseNumber(const std::string& text, T& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

std::unique_ptr<TVstPlugin> OpenPlugin(TVstModule& module, const std::string& path, double rate, int block) {
  std::string error;
  if (!module.Load(path, error)) {
    std::cerr << "rumbleon-host: " << error << "\n";
    return nullptr;
  }
  auto plugin = TVstPlugin::Open(module, error, rate, block);
  if (!plugin) std::cerr << "rumbleon-host: " << path << ": " << error << "\n";
  return plugin;
}

int Info(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("info takes one module");
  TVstModule module;
  auto p = OpenPlugin(module, args[0], 44100, 512);
  if (!p) return 1;
  p->SetSampleRate(44100);
  p->SetBlockSize(512);
  const TVstEffect* e = p->Effect();
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%X", static_cast<unsigned>(e->flags));
  std::string flagNames;
  const std::pair<std::int32_t, const char*> known[] = {
      {kVstFlagHasEditor, "editor"}, {kVstFlagHasClip, "clip"},           {kVstFlagHasVu, "vu"},
      {kVstFlagCanMono, "mono"},     {kVstFlagCanReplacing, "replacing"}, {kVstFlagProgramChunks, "chunks"},
      {kVstFlagIsSynth, "synth"},    {kVstFlagNoSoundInStop, "no-tail"},  {kVstFlagCanDoubleReplacing, "double"}};
  for (const auto& [bit, name] : known)
    if (e->flags & bit) flagNames += (flagNames.empty() ? "" : ", ") + std::string(name);
  // Texts from the plug-in (its programs' names may come from any file) in
  // their printable form.
  std::cout << "module        " << module.Path() << " (entry " << module.EntryName() << ")\n"
            << "name          " << PrintableText(p->Text(kEffGetEffectName)) << "\n"
            << "vendor        " << PrintableText(p->Text(kEffGetVendorString)) << " (version "
            << p->Dispatch(kEffGetVendorVersion) << ")\n"
            << "product       " << PrintableText(p->Text(kEffGetProductString)) << "\n"
            << "unique ID     '" << FourCharText(e->uniqueID) << "' (" << e->uniqueID << "), version " << e->version
            << "\n"
            << "VST version   " << p->Dispatch(kEffGetVstVersion) << ", category " << p->Dispatch(kEffGetPlugCategory)
            << "\n"
            << "flags         " << flags << " (" << flagNames << ")\n"
            << "inputs        " << e->numInputs << "\n"
            << "outputs       " << e->numOutputs << "\n"
            << "initial delay " << e->initialDelay << "\n"
            << "parameters    " << e->numParams << "\n";
  for (int i = 0; i < e->numParams; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "  %4d  ", i);
    const std::string label = p->ParamLabel(i);
    std::cout << line << PrintableText(p->ParamName(i)) << " = " << PrintableText(p->ParamDisplay(i))
              << (label.empty() || label == p->ParamName(i) ? "" : " " + PrintableText(label)) << " ("
              << Fixed(p->GetParameter(i), 4) << ")\n";
  }
  std::cout << "programs      " << e->numPrograms << " (current " << p->Program() << ")\n";
  for (int i = 0; i < e->numPrograms; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "  %4d  ", i);
    std::cout << line << PrintableText(p->ProgramName(i)) << "\n";
  }
  return 0;
}

// Progress on a terminal only: a bar redrawn in place on stderr.
class TProgressBar {
 public:
  TProgressBar() : Enabled(isatty(STDERR_FILENO) == 1) {}
  void Update(double fraction) {
    if (!Enabled) return;
    const int percent = static_cast<int>(fraction * 100);
    if (percent == Last) return;
    Last = percent;
    const int width = 40, filled = percent * width / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", width - filled, "",
                 percent);
    std::fflush(stderr);
  }
  void Finish() {
    if (Enabled && Last >= 0) std::fprintf(stderr, "\r%60s\r", "");
  }

 private:
  bool Enabled;
  int Last = -1;
};

class TWavSink : public TSampleSink {
 public:
  explicit TWavSink(TWavWriter& writer) : Writer(writer) {}
  bool Write(const float* const* channels, int frames) override { return Writer.Write(channels, frames); }

 private:
  TWavWriter& Writer;
};

int Render(const std::vector<std::string>& args) {
  std::string modulePath, midiPath, outPath, bankPath, statePath;
  bool demo = false;
  TRenderSettings settings;
  int program = -1;
  TWavFormat format = TWavFormat::Pcm24;
  std::vector<std::pair<std::string, float>> sets;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--demo") {
      demo = true;
    } else if (a == "-o" || a == "--output") {
      if (!value(outPath)) return Usage("-o needs a file name");
    } else if (a == "--rate") {
      if (!value(v) || !ParseNumber(v, settings.SampleRate)) return Usage("--rate needs a number of Hz");
    } else if (a == "--block") {
      if (!value(v) || !ParseNumber(v, settings.BlockSize)) return Usage("--block needs a number of frames");
    } else if (a == "--program") {
      if (!value(v) || !ParseNumber(v, program) || program < 0) return Usage("--program needs a program number");
    } else if (a == "--bank") {
      if (!value(bankPath)) return Usage("--bank needs a file");
    } else if (a == "--state") {
      if (!value(statePath)) return Usage("--state needs a file");
    } else if (a == "--set") {
      const std::size_t eq = value(v) ? v.rfind('=') : std::string::npos;
      float norm = 0;
      if (eq == std::string::npos || eq == 0 || !ParseNumber(v.substr(eq + 1), norm) || !(norm >= 0 && norm <= 1))
        return Usage("--set needs NAME=VALUE with a value from 0 to 1");
      sets.emplace_back(v.substr(0, eq), norm);
    } else if (a == "--format") {
      if (!value(v) || !ParseWavFormat(v, format)) return Usage("--format is 16, 24 or float");
    } else if (a == "--tail") {
      if (!value(v) || !ParseNumber(v, settings.TailSeconds)) return Usage("--tail needs a number of seconds");
    } else if (a == "--max-seconds") {
      if (!value(v) || !ParseNumber(v, settings.MaxSeconds)) return Usage("--max-seconds needs a number of seconds");
    } else if (!a.empty() && a[0] == '-') {
      return Usage("unknown option " + a);
    } else if (modulePath.empty()) {
      modulePath = a;
    } else if (midiPath.empty()) {
      midiPath = a;
    } else {
      return Usage("too many arguments");
    }
  }
  if (modulePath.empty()) return Usage("render needs a module");
  if (outPath.empty()) return Usage("render needs -o OUT.wav");
  if (demo == !midiPath.empty()) return Usage("render needs a MIDI file or --demo (one of them)");
  if (!bankPath.empty() && !statePath.empty()) return Usage("--bank and --state exclude each other");
  // Every option, and then every input, is checked before the output file
  // is touched: a refused render leaves a file of that name as it was.
  if (const std::string problem = RenderSettingsProblem(settings); !problem.empty()) return Usage(problem);

  TMidiSong song;
  std::string error;
  if (demo) {
    song = DemoSong();
  } else if (!LoadMidiFile(midiPath, song, error)) {
    std::cerr << "rumbleon-host: " << error << "\n";
    return 1;
  }
  std::int64_t frames = 0;
  if (!RenderLength(song, settings, frames, error)) {
    std::cerr << "rumbleon-host: " << (demo ? std::string("the demo") : midiPath) << ": " << error << "\n";
    return 1;
  }
  // Everything the plug-in will be given is read and validated first.
  TFxBank bank;
  std::vector<std::uint8_t> state;
  if (!bankPath.empty()) {
    std::vector<std::uint8_t> bytes;
    if (!ReadInputFile(bankPath, kStateFileMax, "a bank file", bytes, error)) {
      std::cerr << "rumbleon-host: " << error << "\n";
      return 1;
    }
    if (!ParseFxBank(bytes, bank, error)) {
      std::cerr << "rumbleon-host: " << bankPath << ": " << error << "\n";
      return 1;
    }
  }
  if (!statePath.empty()) {
    if (!ReadInputFile(statePath, kStateFileMax, "a state file", state, error)) {
      std::cerr << "rumbleon-host: " << error << "\n";
      return 1;
    }
    if (state.empty()) {
      std::cerr << "rumbleon-host: " << statePath << ": the file is empty, there is no state in it\n";
      return 1;
    }
  }

  TVstModule module;
  auto p = OpenPlugin(module, modulePath, settings.SampleRate, settings.BlockSize);
  if (!p) return 1;
  if (p->NumOutputs() < 1) {
    std::cerr << "rumbleon-host: the plug-in has no outputs\n";
    return 1;
  }
  // A file render is offline: a plug-in that asks may take its time.
  p->SetProcessLevel(kVstProcessLevelOffline);
  p->SetSampleRate(settings.SampleRate);
  p->SetBlockSize(settings.BlockSize);
  if (!bankPath.empty() && !ApplyFxBank(*p, bank, error)) {
    std::cerr << "rumbleon-host: " << bankPath << ": " << error << "\n";
    return 1;
  }
  if (!statePath.empty()) {
    if (!p->HasFlag(kVstFlagProgramChunks)) {
      std::cerr << "rumbleon-host: the plug-in does not take state chunks\n";
      return 1;
    }
    if (p->SetChunk(state, false) == 0) {
      std::cerr << "rumbleon-host: " << statePath << ": the plug-in refused the state (setChunk answered 0)\n";
      return 1;
    }
  }
  if (program >= 0 && !p->SelectProgram(program, error)) {
    std::cerr << "rumbleon-host: " << error << "\n";
    return 1;
  }
  for (const auto& [name, norm] : sets) {
    int index = -1;
    for (int i = 0; i < p->NumParams() && index < 0; ++i)
      if (p->ParamName(i) == name) index = i;
    if (index < 0) {
      std::cerr << "rumbleon-host: the plug-in has no parameter named '" << name << "'\n";
      return 1;
    }
    p->SetParameter(index, norm);
  }

  if (frames > WavFrameLimit(RenderChannels(*p), format)) {
    std::cerr << "rumbleon-host: " << frames << " frames of " << RenderChannels(*p)
              << " channels do not fit into a WAV file of this format (at most 4 GiB); a shorter render, a lower "
                 "--rate or a smaller --format does\n";
    return 1;
  }

  TWavWriter writer;
  if (!writer.Open(outPath, RenderChannels(*p), static_cast<int>(std::lround(settings.SampleRate)), format, error)) {
    std::cerr << "rumbleon-host: " << error << "\n";
    return 1;
  }
  TWavSink sink(writer);
  TProgressBar bar;
  TRenderStats stats;
  const bool ok = RenderSong(
      *p, song, settings, &sink, stats, [&](double f) { bar.Update(f); }, error);
  bar.Finish();
  if (!ok || !writer.Close(error)) {
    std::cerr << "rumbleon-host: " << error << "\n";
    return 1;
  }
  std::cout << "wrote " << outPath << ": " << RenderChannels(*p) << " channels, " << Fixed(settings.SampleRate, 0)
            << " Hz\n"
            << "duration " << Fixed(stats.Seconds, 3) << " s, peak " << Fixed(stats.Peak, 4) << " (" << Db(stats.Peak)
            << "), RMS " << Fixed(stats.Rms, 4) << " (" << Db(stats.Rms) << ")\n";
  if (stats.NonFinite > 0) {
    std::cerr << "rumbleon-host: the plug-in produced " << stats.NonFinite << " NaN or infinite samples\n";
    return 1;
  }
  return 0;
}

int Check(const std::vector<std::string>& args) {
  TCheckOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--list") {
      for (const auto& c : CheckList()) std::printf("%-15s %s\n", c.Name, c.Description);
      return 0;
    }
    if (a == "--no-fork") {
      options.Fork = false;
    } else if (a == "--seed" && i + 1 < args.size()) {
      if (!ParseNumber(args[++i], options.Seed)) return Usage("--seed needs a number");
    } else if (a == "--timeout" && i + 1 < args.size()) {
      if (!ParseNumber(args[++i], options.TimeoutSeconds) || options.TimeoutSeconds <= 0)
        return Usage("--timeout needs a number of seconds");
    } else if (a == "--only" && i + 1 < args.size()) {
      std::string list = args[++i];
      for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        if (comma > start) options.Only.push_back(list.substr(start, comma - start));
        start = comma + 1;
      }
    } else if (!a.empty() && a[0] == '-') {
      return Usage("unknown or incomplete option " + a);
    } else if (options.ModulePath.empty()) {
      options.ModulePath = a;
    } else {
      return Usage("check takes one module");
    }
  }
  if (options.ModulePath.empty()) return Usage("check needs a module");
  return RunChecks(options, std::cout);
}

int WriteDemo(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("write-demo takes one file name");
  const std::vector<std::uint8_t> bytes = WriteMidiFile(DemoSong());
  std::FILE* f = std::fopen(args[0].c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
    std::cerr << "rumbleon-host: cannot write '" << args[0] << "'\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "info") return Info(args);
  if (command == "render") return Render(args);
  if (command == "check") return Check(args);
  if (command == "editor") return EditorCommand(args, std::cout, std::cerr);
  if (command == "write-demo") return WriteDemo(args);
  if (command == "-h" || command == "--help" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  return Usage("unknown command '" + command + "'");
}
