// The built module as a host sees it: loaded with dlopen, reached only
// through its exported entries and the effect record.
#include <dlfcn.h>
#include <elf.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "framework/base/streams.h"
#include "platform/fpu_guard.h"
#include "platform/vst2/vst2_abi.h"
#include "tools/host/alloc_counter.h"

namespace {

std::intptr_t HostVersion = 2400;

std::intptr_t HostCallback(TVstEffect* /*effect*/, std::int32_t opcode, std::int32_t /*index*/, std::intptr_t /*value*/,
                           void* /*ptr*/, float /*opt*/) {
  return opcode == kHostVersion ? HostVersion : 0;
}

struct TModule {
  void* Handle = nullptr;
  TVstEntryProc PluginMain = nullptr;
  TVstEntryProc Main = nullptr;
};

// Loaded once and kept for the process, as hosts do.
const TModule& Module() {
  static TModule module = [] {
    TModule m;
    m.Handle = dlopen(RUMBLEON_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (m.Handle != nullptr) {
      m.PluginMain = reinterpret_cast<TVstEntryProc>(dlsym(m.Handle, "VSTPluginMain"));
      m.Main = reinterpret_cast<TVstEntryProc>(dlsym(m.Handle, "main"));
    }
    return m;
  }();
  return module;
}

std::intptr_t Dispatch(TVstEffect* e, std::int32_t opcode, std::int32_t index = 0, std::intptr_t value = 0,
                       void* ptr = nullptr, float opt = 0.0f) {
  return e->dispatcher(e, opcode, index, value, ptr, opt);
}

struct ModuleTest : ::testing::Test {
  void SetUp() override {
    ASSERT_NE(Module().Handle, nullptr) << dlerror();
    ASSERT_NE(Module().PluginMain, nullptr);
    HostVersion = 2400;
    Effect = Module().PluginMain(&HostCallback);
    ASSERT_NE(Effect, nullptr);
  }
  void TearDown() override {
    if (Effect != nullptr) {
      EXPECT_EQ(Dispatch(Effect, kEffClose), 1);
    }
  }
  TVstEffect* Effect = nullptr;
};

// Names of the defined global symbols in the module's dynamic symbol table.
std::set<std::string> ExportedSymbols(const char* path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::set<std::string> names;
  if (bytes.size() < sizeof(Elf64_Ehdr)) return names;
  Elf64_Ehdr header;
  std::memcpy(&header, bytes.data(), sizeof(header));
  auto section = [&](std::size_t i) {
    Elf64_Shdr s;
    std::memcpy(&s, bytes.data() + header.e_shoff + i * header.e_shentsize, sizeof(s));
    return s;
  };
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    const Elf64_Shdr symtab = section(i);
    if (symtab.sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr strtab = section(symtab.sh_link);
    for (std::size_t k = 0; k < symtab.sh_size / sizeof(Elf64_Sym); ++k) {
      Elf64_Sym sym;
      std::memcpy(&sym, bytes.data() + symtab.sh_offset + k * sizeof(Elf64_Sym), sizeof(sym));
      const int binding = ELF64_ST_BIND(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) continue;
      names.insert(bytes.data() + strtab.sh_offset + sym.st_name);
    }
  }
  return names;
}

TEST(ModuleExports, OnlyTheTwoEntriesAreExported) {
  EXPECT_EQ(ExportedSymbols(RUMBLEON_MODULE_PATH), (std::set<std::string>{"VSTPluginMain", "main"}));
}

TEST(ModuleEntry, MainAndVstPluginMainGiveTheSamePlugin) {
  ASSERT_NE(Module().Main, nullptr);
  TVstEffect* a = Module().Main(&HostCallback);
  TVstEffect* b = Module().PluginMain(&HostCallback);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b) << "one plug-in per call";
  EXPECT_EQ(a->uniqueID, b->uniqueID);
  EXPECT_EQ(Dispatch(a, kEffClose), 1);
  EXPECT_EQ(Dispatch(b, kEffClose), 1);
  EXPECT_EQ(Module().PluginMain(nullptr), nullptr);
}

TEST(ModuleEntry, AHostAnsweringVersionZeroGetsNoPluginAndKeepsItsFpState) {
  const std::uint32_t callerMxcsr = 0x1F80 & ~(1u << 9);  // divide-by-zero unmasked
  const std::uint16_t callerX87 = 0x0372;                 // divide-by-zero unmasked
  WriteMxcsr(callerMxcsr);
  WriteX87ControlWord(callerX87);
  HostVersion = 0;
  TVstEffect* effect = Module().PluginMain(&HostCallback);
  const std::uint32_t mxcsr = ReadMxcsr();
  const std::uint16_t x87 = ReadX87ControlWord();
  WriteMxcsr(0x1F80);
  WriteX87ControlWord(0x037F);
  HostVersion = 2400;
  EXPECT_EQ(effect, nullptr);
  EXPECT_EQ(mxcsr & ~0x3Fu, callerMxcsr);
  EXPECT_EQ(x87, callerX87);
}

TEST_F(ModuleTest, TheRecordIsComplete) {
  EXPECT_EQ(Effect->magic, PackFourBytes("VstP"));
  EXPECT_EQ(Effect->initialDelay, 0);
  EXPECT_EQ(Effect->resvd1, 0);
  EXPECT_EQ(Effect->user, nullptr);
  EXPECT_NE(Effect->object, nullptr);
  EXPECT_NE(Effect->dispatcher, nullptr);
  EXPECT_NE(Effect->process, nullptr);
  EXPECT_NE(Effect->processReplacing, nullptr);
  EXPECT_NE(Effect->setParameter, nullptr);
  EXPECT_NE(Effect->getParameter, nullptr);

  // The counts, flags, ratio, id and version in the published x86_64
  // layout, read as raw bytes.
  const auto* raw = reinterpret_cast<const std::uint8_t*>(Effect);
  auto i32 = [raw](std::size_t offset) {
    std::int32_t v;
    std::memcpy(&v, raw + offset, 4);
    return v;
  };
  EXPECT_EQ(i32(40), 128);
  EXPECT_EQ(i32(44), 664);
  EXPECT_EQ(i32(48), 0);
  EXPECT_EQ(i32(52), 2);
  EXPECT_EQ(i32(56), 0x131);
  EXPECT_EQ(i32(92), 0x3F800000) << "ioRatio 1.0f";
  EXPECT_EQ(i32(112), PackFourBytes("Zorp"));
  EXPECT_EQ(i32(116), 1);
  void* object;
  std::memcpy(&object, raw + 96, sizeof(object));
  EXPECT_EQ(object, Effect->object);
  TVstProcessProc replacing;
  std::memcpy(&replacing, raw + 120, sizeof(replacing));
  EXPECT_EQ(replacing, Effect->processReplacing);
}

// A host text buffer with a guard pattern behind the room the interface
// promises (24 characters and a terminator).
struct TTextBuffer {
  TTextBuffer() { std::memset(Bytes, '#', sizeof(Bytes)); }
  char Bytes[256];
  std::string Text() const { return std::string(Bytes, strnlen(Bytes, sizeof(Bytes))); }
  bool GuardIntact() const {
    for (std::size_t i = 25; i < sizeof(Bytes); ++i)
      if (Bytes[i] != '#') return false;
    return true;
  }
};

TEST_F(ModuleTest, ProgramAndParameterOpcodes) {
  TTextBuffer text;
  EXPECT_EQ(Dispatch(Effect, kEffOpen), 0);
  EXPECT_EQ(Dispatch(Effect, kEffSetProgram, 0, 3), 0);
  EXPECT_EQ(Dispatch(Effect, kEffGetProgram), 3);
  Dispatch(Effect, kEffSetProgram, 0, 128);
  Dispatch(Effect, kEffSetProgram, 0, -1);
  EXPECT_EQ(Dispatch(Effect, kEffGetProgram), 3) << "numbers outside the table change nothing";

  char longName[200];
  std::memset(longName, 'n', sizeof(longName));  // no terminator in reach
  EXPECT_EQ(Dispatch(Effect, kEffSetProgramName, 0, 0, longName), 0);
  EXPECT_EQ(Dispatch(Effect, kEffGetProgramName, 0, 0, text.Bytes), 0);
  EXPECT_EQ(text.Text(), std::string(24, 'n')) << "names are read with a bound";
  EXPECT_TRUE(text.GuardIntact());
  EXPECT_EQ(Dispatch(Effect, kEffSetProgramName, 0, 0, nullptr), 0);
  EXPECT_EQ(Dispatch(Effect, kEffGetProgramName, 0, 0, nullptr), 0);

  TTextBuffer name, label, display, outside;
  Dispatch(Effect, kEffGetParamName, 0, 0, name.Bytes);
  Dispatch(Effect, kEffGetParamLabel, 0, 0, label.Bytes);
  Dispatch(Effect, kEffGetParamDisplay, 0, 0, display.Bytes);
  EXPECT_EQ(name.Text(), "Volume");
  EXPECT_EQ(label.Text(), "Volume");
  EXPECT_EQ(display.Text(), "1.00");
  for (std::int32_t bad : {664, -1, 1 << 30}) {
    Dispatch(Effect, kEffGetParamName, bad, 0, outside.Bytes);
    Dispatch(Effect, kEffGetParamLabel, bad, 0, outside.Bytes);
    Dispatch(Effect, kEffGetParamDisplay, bad, 0, outside.Bytes);
  }
  EXPECT_EQ(outside.Bytes[0], '#') << "out-of-range requests leave the buffer untouched";

  Effect->setParameter(Effect, 1, 0.25f);
  EXPECT_EQ(Effect->getParameter(Effect, 1), 0.25f);
  Effect->setParameter(Effect, -3, 0.25f);
  Effect->setParameter(Effect, 664, 0.25f);
  Effect->setParameter(Effect, 2, std::nanf(""));
  EXPECT_EQ(Effect->getParameter(Effect, 2), 0.0f);
  EXPECT_EQ(Effect->getParameter(Effect, 664), 0.0f);
  EXPECT_EQ(Effect->getParameter(Effect, -1), 0.0f);

  TTextBuffer indexed;
  EXPECT_EQ(Dispatch(Effect, kEffGetProgramNameIndexed, 3, 0, indexed.Bytes), 1);
  EXPECT_EQ(indexed.Text(), std::string(24, 'n'));
  EXPECT_EQ(Dispatch(Effect, kEffGetProgramNameIndexed, 128, 0, indexed.Bytes), 0);
  EXPECT_EQ(Dispatch(Effect, kEffGetProgramNameIndexed, -1, 0, indexed.Bytes), 0);
  EXPECT_EQ(Dispatch(Effect, kEffGetProgramNameIndexed, 3, 0, nullptr), 0);
  EXPECT_EQ(Dispatch(Effect, kEffCopyProgram, 5), 1);
  EXPECT_EQ(Dispatch(Effect, kEffGetProgram), 5);
  EXPECT_EQ(Dispatch(Effect, kEffCopyProgram, 128), 0);
  EXPECT_EQ(Dispatch(Effect, kEffCopyProgram, -2), 0);
}

TEST_F(ModuleTest, EveryOtherOpcodeAnswersAsTheInterfaceTableSays) {
  struct TCase {
    std::int32_t Opcode;
    std::intptr_t Expected;
  };
  // Opcodes answered without pointers.
  const TCase cases[] = {
      {kEffGetVu, 0},
      {kEffSetSampleRate, 0},
      {kEffSetBlockSize, 0},
      {kEffMainsChanged, 0},
      {kEffEditClose, 0},
      {kEffEditDraw, 0},
      {kEffEditMouse, 0},
      {kEffEditKey, 0},
      {kEffEditIdle, 0},
      {kEffEditTop, 0},
      {kEffEditSleep, 0},
      {kEffIdentify, PackFourBytes("NvEf")},
      {kEffCanBeAutomated, 1},
      {kEffString2Parameter, 0},
      {kEffGetNumProgramCategories, 1},
      {kEffConnectInput, 1},
      {kEffConnectOutput, 1},
      {kEffGetInputProperties, 0},
      {kEffGetPlugCategory, kVstCategorySynth},
      {kEffGetCurrentPosition, 0},
      {kEffGetDestinationBuffer, 0},
      {kEffOfflineNotify, 0},
      {kEffOfflinePrepare, 0},
      {kEffOfflineRun, 0},
      {kEffProcessVarIo, 0},
      {kEffSetSpeakerArrangement, 0},
      {kEffSetBypass, 0},
      {kEffGetErrorText, 0},
      {kEffGetVendorVersion, 1100},
      {kEffVendorSpecific, 0},
      {kEffGetTailSize, 0},
      {kEffIdle, 0},
      {kEffGetIcon, 0},
      {kEffSetViewPosition, 0},
      {kEffGetParameterProperties, 0},
      {kEffKeysRequired, 1},
      {kEffGetVstVersion, 2300},
      {kEffEditKeyDown, -1},
      {kEffEditKeyUp, 0},
      {kEffSetEditKnobMode, 0},
      {kEffGetMidiProgramName, 0},
      {kEffGetCurrentMidiProgram, -1},
      {kEffGetMidiProgramCategory, 0},
      {kEffHasMidiProgramsChanged, 0},
      {kEffGetMidiKeyName, 0},
      {kEffBeginSetProgram, 1},
      {kEffEndSetProgram, 1},
      {kEffShellGetNextPlugin, 0},
      {kEffStartProcess, 0},
      {kEffStopProcess, 0},
      {kEffSetPanLaw, 0},
      // -1 would refuse every bank and program file the user loads.
      {kEffBeginLoadBank, 0},
      {kEffBeginLoadProgram, 0},
      {77, 0},
      {1000, 0},
      {-1, 0},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(Dispatch(Effect, c.Opcode, 0, 0, nullptr, 44100.0f), c.Expected) << "opcode " << c.Opcode;
  EXPECT_EQ(Dispatch(Effect, kEffSetTotalSampleToProcess, 0, 12345), 12345);
  // Asked with the file's plug-in record (version, unique ID, plug-in
  // version, element count, 48 reserved bytes): our own bank or another
  // plug-in's, the answer leaves the host to load it and check the chunk.
  for (const std::int32_t id : {Effect->uniqueID, 0x41424344}) {
    std::int32_t info[16] = {1, id, Effect->version, 128};
    EXPECT_EQ(Dispatch(Effect, kEffBeginLoadBank, 0, 0, info), 0);
    info[3] = 1;
    EXPECT_EQ(Dispatch(Effect, kEffBeginLoadProgram, 0, 0, info), 0);
  }
  EXPECT_EQ(Dispatch(Effect, kEffSetBlockSizeAndSampleRate, 0, 256, nullptr, 48000.0f), 0);

  TTextBuffer name, vendor, product;
  EXPECT_EQ(Dispatch(Effect, kEffGetEffectName, 0, 0, name.Bytes), 1);
  EXPECT_EQ(Dispatch(Effect, kEffGetVendorString, 0, 0, vendor.Bytes), 1);
  EXPECT_EQ(Dispatch(Effect, kEffGetProductString, 0, 0, product.Bytes), 1);
  EXPECT_EQ(name.Text(), "Rumbleon2");
  EXPECT_EQ(vendor.Text(), "Rumbleon");
  EXPECT_EQ(product.Text(), "Rumbleon2");
  EXPECT_EQ(Dispatch(Effect, kEffGetEffectName), 0) << "a null buffer is refused";

  char midiEvent[] = "receiveVstMidiEvent";
  char events[] = "receiveVstEvents";
  char send[] = "sendVstEvents";
  EXPECT_EQ(Dispatch(Effect, kEffCanDo, 0, 0, midiEvent), 1);
  EXPECT_EQ(Dispatch(Effect, kEffCanDo, 0, 0, events), 1);
  EXPECT_EQ(Dispatch(Effect, kEffCanDo, 0, 0, send), -1);
  EXPECT_EQ(Dispatch(Effect, kEffCanDo, 0, 0, nullptr), -1);

  TVstPinProperties pin{};
  EXPECT_EQ(Dispatch(Effect, kEffGetOutputProperties, 1, 0, &pin), 1);
  EXPECT_STREQ(pin.label, "IO 2");
  EXPECT_EQ(pin.flags, kVstPinIsActive | kVstPinIsStereo);
  std::memset(&pin, 0x55, sizeof(pin));
  EXPECT_EQ(Dispatch(Effect, kEffGetOutputProperties, 2, 0, &pin), 0);
  EXPECT_EQ(pin.flags, 0x55555555) << "untouched";
  EXPECT_EQ(Dispatch(Effect, kEffGetOutputProperties, -1, 0, &pin), 0);
  EXPECT_EQ(Dispatch(Effect, kEffGetOutputProperties, 0, 0, nullptr), 0);

  TVstSpeakerArrangement dummy{};
  TVstSpeakerArrangement* in = &dummy;
  TVstSpeakerArrangement* out = &dummy;
  EXPECT_EQ(Dispatch(Effect, kEffGetSpeakerArrangement, 0, reinterpret_cast<std::intptr_t>(&in), &out), 0);
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(out, nullptr);

  TVstRect* rect = nullptr;
  EXPECT_EQ(Dispatch(Effect, kEffEditGetRect, 0, 0, &rect), 1);
  ASSERT_NE(rect, nullptr);
  EXPECT_EQ(rect->bottom, 498);
  EXPECT_EQ(rect->right, 774);
  EXPECT_EQ(Dispatch(Effect, kEffEditGetRect), 0);
  // No parent window: no editor, and nothing to close.
  EXPECT_EQ(Dispatch(Effect, kEffEditOpen), 0);
  EXPECT_EQ(Dispatch(Effect, kEffEditClose), 0);
}

TEST_F(ModuleTest, ChunksEventsAndAudio) {
  // The factory bank's last program holds every parameter at its default.
  Dispatch(Effect, kEffSetProgram, 0, 127);
  void* chunk = nullptr;
  const std::intptr_t size = Dispatch(Effect, kEffGetChunk, 0, 0, &chunk);
  EXPECT_GE(size, 0);
  if (size > 0) {
    EXPECT_NE(chunk, nullptr);
  }
  EXPECT_EQ(Dispatch(Effect, kEffGetChunk), 0);
  std::uint8_t bytes[8] = {};
  // Eight zero bytes are no chunk: refused (answered 0), nothing changes.
  EXPECT_EQ(Dispatch(Effect, kEffSetChunk, 0, 8, bytes), 0);
  EXPECT_EQ(Dispatch(Effect, kEffSetChunk, 0, 0, bytes), 0);
  EXPECT_EQ(Dispatch(Effect, kEffSetChunk, 0, -8, bytes), 0);
  EXPECT_EQ(Dispatch(Effect, kEffSetChunk, 1, 8, nullptr), 0);

  TVstMidiEvent note{};
  note.type = kVstMidiEventType;
  note.byteSize = sizeof(note);
  note.midiData[0] = 0x90;
  note.midiData[1] = 60;
  note.midiData[2] = 100;
  TVstEvents list{};
  list.numEvents = 2;
  list.events[0] = reinterpret_cast<TVstEvent*>(&note);
  list.events[1] = nullptr;  // a careless host
  EXPECT_EQ(Dispatch(Effect, kEffProcessEvents, 0, 0, &list), 1);
  EXPECT_EQ(Dispatch(Effect, kEffProcessEvents), 0);

  Dispatch(Effect, kEffSetSampleRate, 0, 0, nullptr, 44100.0f);
  Dispatch(Effect, kEffMainsChanged, 0, 1);
  std::vector<float> left(512, 5.0f), right(512, 5.0f);
  float* outputs[2] = {left.data(), right.data()};
  Effect->processReplacing(Effect, nullptr, outputs, 512);
  EXPECT_EQ(left[0], 0.0f) << "the attack starts from silence";
  // The note sounds once its attack (56 ms) is through.
  float peak = 0.0f;
  for (int block = 0; block < 8; ++block) {
    if (block > 0) Effect->processReplacing(Effect, nullptr, outputs, 512);
    for (std::size_t i = 0; i < left.size(); ++i) {
      ASSERT_TRUE(std::isfinite(left[i]) && std::isfinite(right[i])) << i;
      peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
    }
  }
  EXPECT_GT(peak, 0.05f);
  Effect->process(Effect, nullptr, outputs, 512);
  Effect->processReplacing(Effect, nullptr, nullptr, 512);
  Effect->processReplacing(Effect, nullptr, outputs, -5);
  Effect->processReplacing(Effect, nullptr, outputs, 0);
}

// The host's saved state: getChunk, setChunk into another instance, and the
// same chunk back; a cut chunk changes nothing.
TEST_F(ModuleTest, ChunksRoundTripAndARecalledChunkRendersTheSame) {
  auto getChunk = [](TVstEffect* e, std::int32_t isPreset) {
    void* data = nullptr;
    const std::intptr_t size = Dispatch(e, kEffGetChunk, isPreset, 0, &data);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    return size > 0 ? std::vector<std::uint8_t>(bytes, bytes + size) : std::vector<std::uint8_t>{};
  };
  auto setChunk = [](TVstEffect* e, std::vector<std::uint8_t> bytes, std::int32_t isPreset) {
    return Dispatch(e, kEffSetChunk, isPreset, static_cast<std::intptr_t>(bytes.size()), bytes.data());
  };
  auto render = [](TVstEffect* e) {
    Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, 48000.0f);
    Dispatch(e, kEffMainsChanged, 0, 1);
    TVstMidiEvent note{};
    note.type = kVstMidiEventType;
    note.byteSize = sizeof(note);
    note.midiData[0] = 0x90;
    note.midiData[1] = 40;
    note.midiData[2] = 100;
    TVstEvents list{};
    list.numEvents = 1;
    list.events[0] = reinterpret_cast<TVstEvent*>(&note);
    Dispatch(e, kEffProcessEvents, 0, 0, &list);
    std::vector<float> all;
    for (int block = 0; block < 6; ++block) {
      std::vector<float> left(333, 9.0f), right(333, 9.0f);
      float* outputs[2] = {left.data(), right.data()};
      e->processReplacing(e, nullptr, outputs, 333);
      all.insert(all.end(), left.begin(), left.end());
      all.insert(all.end(), right.begin(), right.end());
    }
    return all;
  };

  Effect->setParameter(Effect, 0, 0.3f);
  Effect->setParameter(Effect, 1, 0.7f);
  Dispatch(Effect, kEffSetProgram, 0, 5);
  const std::vector<std::uint8_t> chunk = getChunk(Effect, 0);
  ASSERT_GT(chunk.size(), 11u);
  EXPECT_EQ(std::string(chunk.begin(), chunk.begin() + 5), "DcHnK");
  const std::vector<std::uint8_t> preset = getChunk(Effect, 1);
  ASSERT_GT(preset.size(), 4u);
  EXPECT_EQ(std::string(preset.begin(), preset.begin() + 4), "PgCn");

  TVstEffect* other = Module().PluginMain(&HostCallback);
  ASSERT_NE(other, nullptr);
  Dispatch(other, kEffSetProgram, 0, 5);
  other->setParameter(other, 0, 0.9f);
  EXPECT_EQ(setChunk(other, chunk, 0), static_cast<std::intptr_t>(chunk.size()));
  EXPECT_EQ(other->getParameter(other, 0), 0.3f);
  EXPECT_EQ(other->getParameter(other, 1), 0.7f);
  EXPECT_EQ(getChunk(other, 0), chunk);

  // A cut chunk and a preset chunk given as a bank change nothing.
  setChunk(other, std::vector<std::uint8_t>(chunk.begin(), chunk.begin() + chunk.size() / 2), 0);
  setChunk(other, preset, 0);
  EXPECT_EQ(getChunk(other, 0), chunk);

  const std::vector<float> expected = render(Effect);
  EXPECT_EQ(render(other), expected);
  EXPECT_EQ(Dispatch(other, kEffClose), 1);
}

// Every entry with the caller's divide-by-zero and invalid-operation traps
// unmasked: no SIGFPE, and the caller's control words come back.
TEST(ModuleFp, EveryEntryRunsInItsOwnFpEnvironment) {
  ASSERT_NE(Module().PluginMain, nullptr);
  const std::uint32_t callerMxcsr = 0x1F80 & ~((1u << 9) | (1u << 7));
  const std::uint16_t callerX87 = 0x0372;
  WriteMxcsr(callerMxcsr);
  WriteX87ControlWord(callerX87);
  std::vector<std::string> changed;
  auto check = [&](const char* what) {
    if ((ReadMxcsr() & ~0x3Fu) != callerMxcsr || ReadX87ControlWord() != callerX87) changed.push_back(what);
  };
  TVstEffect* e = Module().PluginMain(&HostCallback);
  check("main");
  ASSERT_NE(e, nullptr);
  char text[256];
  for (std::int32_t opcode = 0; opcode <= kEffLastOpcode; ++opcode) {
    if (opcode == kEffClose || opcode == kEffCanDo || opcode == kEffEditOpen || opcode == kEffGetSpeakerArrangement ||
        opcode == kEffProcessEvents || opcode == kEffSetChunk || opcode == kEffGetOutputProperties ||
        opcode == kEffEditGetRect || opcode == kEffGetChunk)
      continue;
    std::memset(text, 0, sizeof(text));
    e->dispatcher(e, opcode, 0, 0, text, 0.0f);  // sample rate 0 too: ignored
    check("dispatcher");
  }
  e->setParameter(e, 0, 0.3f);
  check("setParameter");
  // Comparing a NaN raises the invalid-operation exception: it must not trap.
  e->setParameter(e, 1, std::nanf(""));
  check("setParameter NaN");
  (void)e->getParameter(e, 0);
  check("getParameter");
  Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, 44100.0f);
  Dispatch(e, kEffMainsChanged, 0, 1);
  std::vector<float> left(300, 1.0f), right(300, 1.0f);
  float* outputs[2] = {left.data(), right.data()};
  e->processReplacing(e, nullptr, outputs, 300);
  check("processReplacing");
  e->process(e, nullptr, outputs, 300);
  check("process");
  Dispatch(e, kEffClose);
  check("close");
  WriteMxcsr(0x1F80);
  WriteX87ControlWord(0x037F);
  EXPECT_TRUE(changed.empty()) << changed.front();
}

#ifndef RUMBLEON_SANITIZED
// Close frees what set-up allocated: many open/close cycles keep the heap
// where it was (sanitizer builds check the same through LeakSanitizer).
TEST(ModuleLifetime, CloseFreesEverything) {
  ASSERT_NE(Module().PluginMain, nullptr);
  auto cycle = [] {
    TVstEffect* e = Module().PluginMain(&HostCallback);
    ASSERT_NE(e, nullptr);
    Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, 48000.0f);
    void* chunk = nullptr;
    Dispatch(e, kEffGetChunk, 0, 0, &chunk);
    EXPECT_EQ(Dispatch(e, kEffClose), 1);
  };
  // The host's allocation counter sums the live blocks exactly (the
  // allocator's own figures count its caches of freed blocks as in use).
  // The first cycles may fill caches of the C and C++ runtimes.
  ASSERT_TRUE(AllocationCountingAvailable());
  for (int i = 0; i < 5; ++i) cycle();
  const std::int64_t before = HeapBytesInUse();
  for (int i = 0; i < 50; ++i) cycle();
  const std::int64_t after = HeapBytesInUse();
  EXPECT_LE(after, before) << "bytes still allocated after 50 open/close cycles";
}
#endif

}  // namespace
