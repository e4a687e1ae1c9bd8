// rumbleon-factorybank: writes the factory bank (FXB in chunk form, with the
// sub-preset block) from the preset sources.
//
//   rumbleon-factorybank --out BANK.fxb [--partial] [--programs] SOURCE.txt...
//   rumbleon-factorybank --keys        every parameter key with its default
//   rumbleon-factorybank --values KEY  the texts of every whole value of KEY
//
// The sources are read in the order given (the build passes them sorted by
// name); program numbers follow that order. Any error stops the build with
// the file and line it concerns.
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "engines/rumbleon2.h"
#include "framework/base/streams.h"
#include "platform/vst2/vst2_abi.h"
#include "tools/factorybank/bank_builder.h"

namespace {

std::intptr_t HostCallback(TVstEffect* /*effect*/, std::int32_t opcode, std::int32_t /*index*/, std::intptr_t /*value*/,
                           void* /*ptr*/, float /*opt*/) {
  return opcode == kHostVersion ? 2400 : 0;
}

int Usage() {
  std::cerr << "usage: rumbleon-factorybank --out BANK.fxb [--partial] [--programs] SOURCE.txt...\n"
               "       rumbleon-factorybank --keys | --values KEY\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out, valuesOf;
  bool keys = false, partial = false, listPrograms = false;
  std::vector<std::string> sources;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--out" && i + 1 < argc) out = argv[++i];
    else if (a == "--keys") keys = true;
    else if (a == "--values" && i + 1 < argc) valuesOf = argv[++i];
    else if (a == "--partial") partial = true;
    else if (a == "--programs") listPrograms = true;
    else if (!a.empty() && a[0] == '-') return Usage();
    else sources.push_back(a);
  }
  if (!keys && valuesOf.empty() && out.empty()) return Usage();

  auto plugin = std::make_unique<TRumbleon2>();
  plugin->InitPlugin(&HostCallback);
  TBankBuilder builder(*plugin);
  if (keys) {
    builder.Keys().ListKeys(std::cout);
    return 0;
  }
  if (!valuesOf.empty()) {
    std::string error;
    const std::optional<std::int32_t> id = builder.Keys().Find(valuesOf, error);
    if (!id) {
      std::cerr << error << "\n";
      return 1;
    }
    builder.Keys().ListValues(*id, std::cout);
    return 0;
  }

  std::vector<TPresetItem> items;
  for (const std::string& path : sources) {
    std::string error;
    if (!ParsePresetFile(path, items, error)) {
      std::cerr << error << "\n";
      return 1;
    }
  }
  std::vector<std::string> errors;
  if (!builder.Build(items, !partial, errors)) {
    for (const std::string& e : errors) std::cerr << e << "\n";
    std::cerr << errors.size() << " error(s); no bank written\n";
    return 1;
  }
  if (listPrograms)
    for (const std::string& line : builder.ProgramList()) std::cout << line << "\n";

  TMemoryStream bank;
  plugin->SaveBankToStream(bank);
  if (!bank.SaveToFile(out)) {
    std::cerr << out << ": cannot be written\n";
    return 1;
  }
  return 0;
}
