// rumbleon-host editor: a plug-in's editor in a window of ours, with
// screenshots and scripted input, printing what the plug-in tells the host.
#include <signal.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <ostream>

#include "framework/base/printable_text.h"
#include "tools/host/editor_host.h"
#include "tools/host/editor_script.h"
#include "tools/host/input_file.h"

namespace {

std::atomic<bool> StopAsked{false};
void OnStopSignal(int) { StopAsked = true; }

std::string Fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

// What the plug-in told the host, printed on the host thread after each
// idle call (never from inside the plug-in's call).
class TNoticePrinter {
 public:
  TNoticePrinter(TVstPlugin& plugin, std::ostream& out) : Plugin(plugin), Out(out) {
    for (int i = 0; i < plugin.NumParams(); ++i) {
      Names.push_back(plugin.ParamName(i));
      Values.push_back(plugin.GetParameter(i));
    }
    plugin.SetNoticeObserver([this](const THostNotice& n) {
      std::lock_guard<std::mutex> lock(Lock);
      Pending.push_back(n);
    });
  }
  ~TNoticePrinter() { Plugin.SetNoticeObserver({}); }

  void Print() {
    std::vector<THostNotice> notices;
    {
      std::lock_guard<std::mutex> lock(Lock);
      notices.swap(Pending);
    }
    std::lock_guard<std::mutex> lock(PrintLock);
    for (const THostNotice& n : notices) {
      const char* what = n.Opcode == kHostAutomate    ? "automate"
                         : n.Opcode == kHostBeginEdit ? "begin-edit"
                                                      : "end-edit";
      Out << what << " " << n.Index << " " << Name(n.Index);
      if (n.Opcode == kHostAutomate) {
        Out << " " << Fixed(n.Value, 4);
        ++Automates;
      }
      Out << "\n";
    }
    for (int i = 0; i < static_cast<int>(Values.size()); ++i) {
      const float v = Plugin.GetParameter(i);
      const float old = Values[static_cast<std::size_t>(i)];
      if (v == old || (std::isnan(v) && std::isnan(old))) continue;
      Values[static_cast<std::size_t>(i)] = v;
      ++Changes;
      Out << "parameter " << i << " " << Name(i) << " " << Fixed(old, 4) << " -> " << Fixed(v, 4) << " ("
          << PrintableText(Plugin.ParamDisplay(i)) << ")\n";
    }
    Out.flush();
  }

  // For lines printed from the input thread (they quote the script).
  void Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(PrintLock);
    Out << PrintableText(text) << "\n";
    Out.flush();
  }

  int Automates = 0;
  int Changes = 0;

 private:
  std::string Name(int index) const {
    if (index < 0 || index >= static_cast<int>(Names.size())) return "(no such parameter)";
    return "'" + PrintableText(Names[static_cast<std::size_t>(index)]) + "'";
  }

  TVstPlugin& Plugin;
  std::ostream& Out;
  std::vector<std::string> Names;
  std::vector<float> Values;
  std::mutex Lock;
  std::vector<THostNotice> Pending;
  std::mutex PrintLock;
};

}  // namespace

int EditorCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string modulePath, screenshot, scriptPath;
  int program = -1;
  auto usage = [&](const std::string& problem) {
    err << "rumbleon-host: " << problem << "\n"
        << "usage: rumbleon-host editor MODULE.so [--program N] [--screenshot FILE.png] [--script FILE]\n";
    return 2;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--program") {
      const std::string v = hasValue ? args[++i] : "";
      auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), program);
      if (v.empty() || ec != std::errc() || ptr != v.data() + v.size() || program < 0)
        return usage("--program needs a program number");
    } else if (a == "--screenshot") {
      if (!hasValue) return usage("--screenshot needs a file name");
      screenshot = args[++i];
    } else if (a == "--script") {
      if (!hasValue) return usage("--script needs a file");
      scriptPath = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      return usage("unknown option " + a);
    } else if (modulePath.empty()) {
      modulePath = a;
    } else {
      return usage("editor takes one module");
    }
  }
  if (modulePath.empty()) return usage("editor needs a module");

  // Everything given is read and checked before the plug-in is touched.
  std::vector<TEditorStep> steps;
  if (!scriptPath.empty()) {
    std::vector<std::uint8_t> text;
    std::string error;
    if (!ReadInputFile(scriptPath, kScriptFileMax, "an editor script", text, error)) {
      err << "rumbleon-host: " << error << "\n";
      return 1;
    }
    if (!ParseEditorScript(std::string(text.begin(), text.end()), steps, error)) {
      err << "rumbleon-host: " << scriptPath << ": " << error << "\n";
      return 1;
    }
  }

  TVstModule module;
  std::string error;
  if (!module.Load(modulePath, error)) {
    err << "rumbleon-host: " << error << "\n";
    return 1;
  }
  auto plugin = TVstPlugin::Open(module, error);
  if (!plugin) {
    err << "rumbleon-host: " << modulePath << ": " << error << "\n";
    return 1;
  }
  if (!plugin->HasFlag(kVstFlagHasEditor)) {
    err << "rumbleon-host: " << modulePath << ": the plug-in has no editor\n";
    return 1;
  }
  plugin->SetSampleRate(44100);
  plugin->SetBlockSize(512);
  if (program >= 0 && !plugin->SelectProgram(program, error)) {
    err << "rumbleon-host: " << error << "\n";
    return 1;
  }
  plugin->Resume();

  auto host = TEditorHost::Connect(error);
  if (!host) {
    err << "rumbleon-host: " << error << "\n";
    return 1;
  }
  TNoticePrinter printer(*plugin, out);
  if (!host->Open(*plugin, error)) {
    err << "rumbleon-host: " << error << "\n";
    return 1;
  }
  auto size = [](const TVstRect& r) {
    return std::to_string(r.right - r.left) + " x " + std::to_string(r.bottom - r.top);
  };
  char id[32];
  std::snprintf(id, sizeof id, "0x%lx", host->Window());
  out << "editor open in window " << id << ", " << host->Width() << " x " << host->Height()
      << " (rectangle before opening " << size(host->RectBeforeOpen()) << ", after " << size(host->RectAfterOpen())
      << ")\n";
  host->SetAfterIdle([&] { printer.Print(); });
  host->IdleFor(250);

  int status = 0;
  if (!steps.empty()) {
    host->RunWithInput([&](TEditorInput& input) {
      if (!input.Ready()) {
        printer.Line("rumbleon-host: " + input.Error());
        status = 1;
        return;
      }
      for (const TEditorStep& s : steps) {
        bool ok = true;
        std::string why;
        switch (s.Kind) {
          case TEditorStep::TKind::Move:
            ok = input.MoveTo(s.X, s.Y);
            why = "the window is gone";
            break;
          case TEditorStep::TKind::Press:
            ok = input.Press(s.Button);
            break;
          case TEditorStep::TKind::Release:
            ok = input.Release(s.Button);
            break;
          case TEditorStep::TKind::Key:
            ok = input.Key(s.Text);
            why = "no key named '" + s.Text + "'";
            break;
          case TEditorStep::TKind::Wait:
            input.Wait(s.Milliseconds);
            break;
          case TEditorStep::TKind::Screenshot: {
            TRgbImage image;
            ok = input.CaptureSettled(image, why) && WritePng(s.Text, image, why);
            if (ok)
              printer.Line("screenshot " + s.Text + " (" + std::to_string(image.Width) + " x " +
                           std::to_string(image.Height) + ")");
            break;
          }
        }
        if (!ok) {
          printer.Line("rumbleon-host: " + scriptPath + ": line " + std::to_string(s.Line) + ": " + why);
          status = 1;
          return;
        }
        input.Settle();
      }
    });
    host->IdleFor(120);
  } else if (screenshot.empty()) {
    // Interactive: until the window is closed or the process is told to stop.
    out << "close the window (or press Ctrl-C) to end\n";
    out.flush();
    struct sigaction action {
    }, oldInt{}, oldTerm{};
    action.sa_handler = &OnStopSignal;
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
    while (!StopAsked.load() && !host->CloseRequested()) host->IdleFor(40);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
  }
  if (!screenshot.empty() && status == 0) {
    TRgbImage image;
    if (!host->CaptureSettled(image, error) || !WritePng(screenshot, image, error)) {
      err << "rumbleon-host: " << error << "\n";
      status = 1;
    } else {
      out << "screenshot " << screenshot << " (" << image.Width << " x " << image.Height << ")\n";
    }
  }
  const std::intptr_t answer = host->CloseEditor();
  host->DestroyWindow();
  printer.Print();
  out << "editor closed (the plug-in answered " << answer << "): " << printer.Automates << " automate calls, "
      << printer.Changes << " parameter changes";
  if (TEditorHost::XErrors() > 0) out << ", " << TEditorHost::XErrors() << " X errors on the host's connections";
  out << "\n";
  return status;
}
