// The two ways a fuzz target runs.
//
// libFuzzer build (RUMBLEON_SANITIZE=fuzzer): libFuzzer's own main; with
// RUMBLEON_FUZZ_WRITE_SEEDS=DIR in the environment the target writes its
// seeds into DIR and exits, so the CI can start every run from them.
//
// Normal builds: a replay program. `fuzz_replay_NAME [--seeds] PATH...`
// feeds every file (or every file in a directory) and, with --seeds, every
// seed to the target once; a crash or sanitizer report fails the test that
// runs it.
#include "fuzz/support/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

int WriteSeeds(const char* dir) {
  std::filesystem::create_directories(dir);
  const TFuzzSeeds seeds = RumbleonFuzzSeeds();
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(dir) + "/seed-" + std::to_string(i);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
  }
  std::printf("%zu seeds written to %s\n", seeds.size(), dir);
  return 0;
}

}  // namespace

#if defined(RUMBLEON_FUZZING)

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* dir = std::getenv("RUMBLEON_FUZZ_WRITE_SEEDS")) std::exit(WriteSeeds(dir));
  return 0;
}

#else

namespace {

int ReplayFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int inputs = 0, failures = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seeds") {
      for (const auto& seed : RumbleonFuzzSeeds()) {
        LLVMFuzzerTestOneInput(seed.data(), seed.size());
        ++inputs;
      }
    } else if (arg == "--write-seeds" && i + 1 < argc) {
      return WriteSeeds(argv[++i]);
    } else if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
        if (!entry.is_regular_file() || entry.path().filename() == "README.md") continue;
        failures += ReplayFile(entry.path());
        ++inputs;
      }
    } else if (std::filesystem::exists(arg)) {
      failures += ReplayFile(arg);
      ++inputs;
    }
  }
  std::printf("%d inputs replayed\n", inputs);
  return failures ? 1 : 0;
}

#endif
