#include "framework/core/param_info.h"

float TParamInfoRec::NormFromReal(float real) const { return NormaliseParamValue(real, Min, Max); }

float NormaliseParamValue(float real, float min, float max) {
  const float range = max - min;
  if (range == 0.0f) return 0.0f;
  return (real - min) / range;
}

std::string ShortString(std::string_view text) { return std::string(text.substr(0, kShortStringMax)); }

void InitFloatParamInfo(std::uint16_t kind, TParamInfoRec& info, std::string_view name, std::uint8_t flags,
                        std::int32_t defaultValue, std::int32_t intMin, std::int32_t intMax, float min, float max,
                        float step, std::uint8_t patchConversion, std::string_view description) {
  info.Kind = kind;
  info.Name = ShortString(name);
  info.Flags = flags;
  info.IntMin = intMin;
  info.IntMax = intMax;
  info.Min = min;
  info.Max = max;
  info.Unit = 1.0f;
  info.Step = step;
  info.DefaultValue = NormaliseParamValue(static_cast<float>(defaultValue), min, max);
  info.Value = info.DefaultValue;
  info.PatchConversion = patchConversion;
  info.Description = ShortString(description);
}

void InitIntParamInfo(std::uint16_t kind, TParamInfoRec& info, std::string_view name, std::uint8_t flags,
                      std::int32_t defaultValue, std::int32_t min, std::int32_t max, std::string_view description) {
  InitFloatParamInfo(kind, info, name, flags, defaultValue, min, max, static_cast<float>(min), static_cast<float>(max),
                     1.0f, 0, description);
}

void InitIntParamInfoEx(std::uint16_t kind, TParamInfoRec& info, std::string_view name, std::uint8_t flags,
                        std::int32_t defaultValue, std::int32_t min, std::int32_t max, float step,
                        std::string_view description) {
  InitIntParamInfo(kind, info, name, flags, defaultValue, min, max, description);
  info.Step = step;
}

void InitParamInfoExtra(TParamInfoRec& info, std::int32_t guiKind, std::int32_t guiPanel, std::int32_t guiTop,
                        std::int32_t guiLeft, std::int32_t guiTag, std::string_view helpText, std::int32_t guiFlags) {
  info.GuiKind = guiKind;
  info.GuiPanel = guiPanel;
  info.GuiTop = guiTop;
  info.GuiLeft = guiLeft;
  info.GuiTag = guiTag;
  info.HelpText = ShortString(helpText);
  info.GuiFlags = guiFlags;
}
