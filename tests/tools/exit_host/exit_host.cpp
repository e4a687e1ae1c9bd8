// A host that ends without closing its plug-ins, as crashing hosts and quick
// tools do. It loads a module, opens two instances: one rendering with a note
// held, one whose audio thread has just asked for changes that the module's
// worker builds (a new voice set, another sample patch); then main returns.
//
//   exit_host MODULE.so open        the instances are never closed, and the
//                                   first one's audio thread keeps rendering
//                                   while the process ends
//   exit_host MODULE.so close-late  the audio thread stops; the instances are
//                                   closed by a host object destroyed after
//                                   the module's statics
//   ... editor                      the first instance's editor is open too
//                                   (on $DISPLAY)
//
// What it prints stays in stdout's buffer until the process ends: an exit
// that aborts loses it. exit_host_test.cpp checks the status and the output.
#include <atomic>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/editor_host.h"
#include "tools/host/vst_host.h"

namespace {

using TPlugins = std::vector<std::unique_ptr<TVstPlugin>>;

int FindParameter(const TVstPlugin& p, const char* name) {
  for (int i = 0; i < p.NumParams(); ++i)
    if (p.ParamName(i) == name) return i;
  return -1;
}

// Renders blocks (a note struck in the first) until stop is set, or for
// blocks blocks; afterFirst runs on this thread, the plug-in's audio thread,
// after the first block.
void Render(TVstPlugin& p, const std::atomic<bool>& stop, int blocks, std::atomic<int>& done,
            const std::function<void()>& afterFirst) {
  std::vector<float> left(256), right(256);
  float* outputs[2] = {left.data(), right.data()};
  TVstEventList events(4);
  const std::uint8_t noteOn[3] = {0x90, 40, 100};
  for (int b = 0; !stop.load() && (blocks < 0 || b < blocks); ++b) {
    events.Clear();
    if (b == 0) events.Add(0, noteOn, 3);
    p.ProcessBlock(events.Events(), outputs, 256);
    if (b == 0 && afterFirst) afterFirst();
    done.fetch_add(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool withEditor = argc == 4 && std::string(argv[3]) == "editor";
  const std::string mode = argc >= 3 ? argv[2] : "";
  if ((argc != 3 && !withEditor) || (mode != "open" && mode != "close-late")) {
    std::fprintf(stderr, "usage: exit_host MODULE.so open|close-late [editor]\n");
    return 2;
  }
  const bool closeLate = mode == "close-late";
  // Made before the module is loaded, so destroyed after the module's own
  // statics: what they hold is closed last of all (the editor first).
  static TPlugins closedLate;
  static std::unique_ptr<TEditorHost> closedLateEditor;
  // Never destroyed: what they hold stays open (reachable: no leak report).
  static TPlugins& neverClosed = *new TPlugins;
  static std::unique_ptr<TEditorHost>& neverClosedEditor = *new std::unique_ptr<TEditorHost>;
  TPlugins& plugins = closeLate ? closedLate : neverClosed;

  static TVstModule& module = *new TVstModule;  // stays loaded, as in most hosts
  std::string error;
  if (!module.Load(argv[1], error)) {
    std::fprintf(stderr, "exit_host: %s\n", error.c_str());
    return 1;
  }
  for (int i = 0; i < 2; ++i) {
    auto p = TVstPlugin::Open(module, error, 44100, 256);
    if (!p) {
      std::fprintf(stderr, "exit_host: %s\n", error.c_str());
      return 1;
    }
    p->SetSampleRate(44100);
    p->SetBlockSize(256);
    p->Resume();
    plugins.push_back(std::move(p));
  }
  TVstPlugin& rendering = *plugins[0];
  TVstPlugin& changing = *plugins[1];

  if (withEditor) {
    std::unique_ptr<TEditorHost> editor = TEditorHost::Connect(error);
    if (!editor || !editor->Open(rendering, error)) {
      std::fprintf(stderr, "exit_host: %s\n", error.c_str());
      return 1;
    }
    editor->IdleFor(200);
    (closeLate ? closedLateEditor : neverClosedEditor) = std::move(editor);
  }

  // The first instance's audio thread: still running when main returns,
  // unless the instances are to be closed.
  static std::atomic<bool> stop{false};
  static std::atomic<int> rendered{0};
  std::thread audio([&] { Render(rendering, stop, -1, rendered, {}); });
  while (rendered.load() < 32) std::this_thread::yield();
  if (closeLate) {
    stop.store(true);
    audio.join();
  } else {
    audio.detach();
  }

  // The second one's: the changes go to the worker, which is building them
  // while main returns.
  const int voices = FindParameter(changing, "Voices");
  const int patch = FindParameter(changing, "OSC1 Patch");
  std::atomic<int> changed{0};
  std::thread([&] {
    Render(changing, stop, 2, changed, [&] {
      if (voices >= 0) changing.SetParameter(voices, 0.5f);
      if (patch >= 0) changing.SetParameter(patch, 0.5f);
    });
  }).join();

  // Buffered (stdout is a file or a pipe here), flushed only at exit.
  for (int line = 1; line <= 20; ++line) std::printf("stdio line %d\n", line);
  std::cout << "iostream line, mode " << mode << ", parameters " << voices << " " << patch << "\n";
  std::printf("end of main\n");
  return 0;
}
