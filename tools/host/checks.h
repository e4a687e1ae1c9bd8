// The conformance suite: checks run against any VST 2 module through the
// binary interface. Each check runs in a child process of its own (a crash
// or a hang fails that check only) on fresh plug-in instances.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

enum class TCheckStatus { Pass, Fail, Skip };

struct TCheckResult {
  TCheckStatus Status = TCheckStatus::Pass;
  std::string Detail;
};

struct TCheckOptions {
  std::string ModulePath;
  std::uint32_t Seed = 1;
  bool Fork = true;               // each check in a child process
  double TimeoutSeconds = 600;    // per check, when forked
  std::vector<std::string> Only;  // check names; empty: all
};

struct TCheckInfo {
  const char* Name;
  const char* Description;
};
const std::vector<TCheckInfo>& CheckList();

// Runs the checks, one line each, then "N passed, N failed, N skipped".
// Returns 0 when none failed, 1 otherwise, 2 for bad options.
int RunChecks(const TCheckOptions& options, std::ostream& out);
