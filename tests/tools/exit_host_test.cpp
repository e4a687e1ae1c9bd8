// The module's exit path: a host process that returns from main with
// instances still open (one rendering on its audio thread, one whose audio
// thread just asked the module's worker for changes, maybe with an editor
// open) ends with status 0 and all of its buffered output, whether the
// instances are never closed or closed after the module's statics are gone.
// Under the sanitizer build the same runs find any use of freed memory.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>

#include "tests/support/virtual_display.h"
#include "tests/tools/host_process.h"

namespace {

using TExitCase = std::tuple<const char*, bool>;  // exit_host mode, editor open

class ModuleExit : public ::testing::TestWithParam<TExitCase> {};

TEST_P(ModuleExit, AHostEndingWithOpenInstancesExitsCleanlyWithItsOutput) {
  if (ModulePath().empty()) GTEST_SKIP() << "the instrument module is not part of this build";
  const auto [mode, editor] = GetParam();
  std::unique_ptr<testing_support::TVirtualDisplay> display;
  if (editor) {
    display = std::make_unique<testing_support::TVirtualDisplay>();
    if (!display->Running()) GTEST_SKIP() << display->Error();
    display->Export();
  }
  std::vector<std::string> args{ModulePath(), mode};
  if (editor) args.push_back("editor");
  // A few runs: the worker and the audio thread are caught at different
  // points of their work.
  for (int run = 0; run < 3; ++run) {
    const THostRun r = RunProgram(ExitHostPath(), args);
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Err.find("terminate"), std::string::npos) << r.Err;
    EXPECT_NE(r.Out.find("stdio line 20\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find(std::string("iostream line, mode ") + mode), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("end of main\n"), std::string::npos) << r.Out;
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, ModuleExit,
                         ::testing::Combine(::testing::Values("open", "close-late"), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<TExitCase>& info) {
                           const std::string order = std::string(std::get<0>(info.param)) == "open"
                                                         ? "NeverClosedStillRendering"
                                                         : "ClosedAfterTheModuleStatics";
                           return order + (std::get<1>(info.param) ? "WithEditor" : "");
                         });

}  // namespace
