#include "tests/support/test_support.h"

#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>

#include "tests/support/owner_lock.h"

namespace testing_support {

float Peak(std::span<const float> x) {
  float p = 0;
  for (float v : x) p = std::max(p, std::fabs(v));
  return p;
}

double Rms(std::span<const float> x) {
  if (x.empty()) return 0;
  double sum = 0;
  for (float v : x) sum += static_cast<double>(v) * v;
  return std::sqrt(sum / static_cast<double>(x.size()));
}

bool AllFinite(std::span<const float> x) {
  for (float v : x)
    if (!std::isfinite(v)) return false;
  return true;
}

bool NoDenormals(std::span<const float> x) {
  for (float v : x)
    if (v != 0 && std::fpclassify(v) == FP_SUBNORMAL) return false;
  return true;
}

double ZeroCrossingFrequency(std::span<const float> x, double sampleRate) {
  if (x.size() < 3) return 0;
  double mean = 0;
  for (float v : x) mean += v;
  mean /= static_cast<double>(x.size());
  double first = -1, last = -1;
  int crossings = 0;
  for (std::size_t i = 1; i < x.size(); ++i) {
    const double a = x[i - 1] - mean, b = x[i] - mean;
    if (a < 0 && b >= 0) {
      const double t = static_cast<double>(i - 1) + a / (a - b);
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * sampleRate / (last - first);
}

double ToneMagnitude(std::span<const float> x, double freq, double sampleRate) {
  double re = 0, im = 0;
  const double w = 2 * std::numbers::pi * freq / sampleRate;
  for (std::size_t i = 0; i < x.size(); ++i) {
    re += x[i] * std::cos(w * static_cast<double>(i));
    im += x[i] * std::sin(w * static_cast<double>(i));
  }
  return 2 * std::hypot(re, im) / static_cast<double>(x.size());
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

float LargestStep(std::span<const float> x, std::size_t from, std::size_t to) {
  float step = 0.0f;
  for (std::size_t i = std::max<std::size_t>(from, 1); i < std::min(to, x.size()); ++i)
    step = std::max(step, std::fabs(x[i] - x[i - 1]));
  return step;
}

std::size_t LongestHeldRun(std::span<const float> x, float floor) {
  std::size_t longest = 0, start = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const float from = x[start];
    if (std::fabs(x[i]) < floor || std::fabs(x[i] - from) > 1e-3f * std::fabs(from)) start = i;
    if (std::fabs(x[i]) >= floor) longest = std::max(longest, i - start + 1);
  }
  return longest;
}

double NoteHz(int key) { return 440.0 * std::pow(2.0, (key - 69) / 12.0); }

std::string ScratchDir() {
  static const std::string dir = [] {
    auto path = std::filesystem::temp_directory_path() / ("rumbleon-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(
          std::filesystem::temp_directory_path() / ("rumbleon-test-" + std::to_string(getpid())), ec);
    });
    return path.string();
  }();
  return dir;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : fallback;
}

}  // namespace testing_support

namespace testing_support {

std::recursive_mutex& OwnerLock() {
  static std::recursive_mutex lock;
  return lock;
}

}  // namespace testing_support
