// Fuzz entry for the sample-bank reader: any input is refused or read
// without a fault, and a refused bank leaves its slot empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "dsp/sampler/bank_messages.h"
#include "dsp/sampler/sampler.h"
#include "framework/base/streams.h"
#include "fuzz/support/fuzz_support.h"
#include "tests/dsp/sampler/small_bank.h"
#include "tools/samplebank/sample_bank_writer.h"

namespace {
void Quiet(TBankMessageKind, std::string_view) {}
}  // namespace

namespace {
int FuzzSampleBank(const std::uint8_t* data, std::size_t size) {
  SetBankMessageHook(&Quiet);
  TMemoryStream stream(std::span<const std::uint8_t>(data, size));
  TSampler store;
  store.NewBank(0);
  const bool ok = store.LoadBankFromStream(stream, 0, "fuzz");
  if (ok != (store.Bank(0) != nullptr)) std::abort();
  if (ok) {
    // Touch what the instrument would read.
    for (std::int32_t p = 0; p < kSampleBankPrograms; ++p) {
      const TSamplerProgramRec* program = store.Program(0, p);
      if (!program) continue;
      for (const TSampleZone& zone : program->Zones) {
        if (!zone.Sample) continue;
        const TZoneLoop loop = ResolveZoneLoop(zone.Rec, *zone.Sample);
        if (loop.End > zone.Sample->Frames() || loop.Start < 0) std::abort();
        volatile std::int16_t last = zone.Sample->Data[zone.Sample->Length() + kSampleSpareValues - 1];
        (void)last;
      }
    }
  }
  return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { return FuzzSampleBank(data, size); }

TFuzzSeeds RumbleonFuzzSeeds() {
  TFuzzSeeds seeds;
  for (const char* version : {"1.68", "1.50", "1.49", "1.03"}) {
    seeds.push_back(WriteSampleBank(small_bank::Make(), version));
  }
  return seeds;
}
