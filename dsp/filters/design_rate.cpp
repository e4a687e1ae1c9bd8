#include "dsp/filters/design_rate.h"

#include <cmath>
#include <numbers>

namespace {
double Ratio(std::int32_t rate) { return static_cast<double>(kFilterDesignRate) / static_cast<double>(rate); }
// Angles of tan(pi f / rate) are held below a quarter turn (the half rate).
constexpr double kMaxAngle = 0.499 * std::numbers::pi;
}  // namespace

float MatchPoleToRate(float pole, std::int32_t rate) {
  if (rate == kFilterDesignRate || rate <= 0 || !(pole > 0) || !(pole < 1)) return pole;
  return static_cast<float>(std::pow(static_cast<double>(pole), Ratio(rate)));
}

float MatchAllpassToRate(float c, std::int32_t rate) {
  if (rate == kFilterDesignRate || rate <= 0 || !(c > 0) || !(c < 1)) return c;
  // c = (1 - t) / (1 + t) with t = tan(pi fb / rate), fb the break frequency.
  const double t = (1.0 - c) / (1.0 + c);
  double angle = std::atan(t) * Ratio(rate);
  if (angle > kMaxAngle) angle = kMaxAngle;
  const double matched = std::tan(angle);
  return static_cast<float>((1 - matched) / (1 + matched));
}

TLadderDesign MatchLadderToRate(float p, float feedback, float resonance, float pMax, std::int32_t rate) {
  if (rate == kFilterDesignRate || rate <= 0 || !(p > 0) || !(p < 1)) return {p, feedback};
  constexpr double kPi = std::numbers::pi;
  const double ratio = Ratio(rate);
  const double t = static_cast<double>(p) / (1.0 - p);  // tan of the stage's prewarped frequency
  // The crossover w (radians per sample at the design rate): four stages of
  // phase atan(tan(w/2) / t) and the loop's sample, w, make half a turn.
  // Newton from the crossover without the loop sample (F rises with w).
  double w = 2 * std::atan(t);
  for (int i = 0; i < 8; ++i) {
    const double u = std::tan(w / 2), v = u / t;
    const double f = 4 * std::atan(v) + w - kPi;
    const double slope = 4 / (1 + v * v) * (1 + u * u) / (2 * t) + 1;
    const double next = w - f / slope;
    w = next > 0 ? next : w / 2;
    if (std::fabs(f) < 1e-12) break;
  }
  const double u = std::tan(w / 2);
  const double stageGain = 1 / (1 + (u / t) * (u / t));
  const double loopGain = stageGain * stageGain;
  // The same crossover in Hz here, and the stage that puts it there.
  double w2 = w * ratio;
  if (w2 > 0.95 * kPi) w2 = 0.95 * kPi;
  const double u2 = std::tan(w2 / 2);
  const double tCrossover = u2 / std::tan((kPi - w2) / 4);
  double angle = std::atan(t) * ratio;
  if (angle > kMaxAngle) angle = kMaxAngle;
  const double tStage = std::tan(angle);
  double a = resonance;
  if (!(a > 0)) a = 0;
  if (a > 1) a = 1;
  const double t2 = std::exp((1 - a) * std::log(tStage) + a * std::log(tCrossover));
  const double stageGain2 = 1 / (1 + (u2 / t2) * (u2 / t2));
  const double loopGain2 = stageGain2 * stageGain2;
  float p2 = static_cast<float>(t2 / (1 + t2));
  if (p2 > pMax) p2 = pMax;
  return {p2, static_cast<float>(feedback * loopGain / loopGain2)};
}
