// The skin of the editor. A theme holds, for each kind of control, a list
// of entries; an entry is one size or variant of that kind (small, default,
// big, wide) with two styles: the caption style and the value style (in the
// picture entries: the "off" and the "on" picture). A control picks its
// entry by list and index; StyleByIndex wraps, so any index finds an entry
// while the list has one. All themes live in one process-wide list, built
// once (default_theme.h) and read by the window thread afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gui/theme/theme_style.h"
#include "platform/draw/canvas.h"

class TSPTheme;

class TSPThemeControl {
 public:
  TSPThemeControl();
  virtual ~TSPThemeControl() = default;
  TSPThemeControl(const TSPThemeControl&) = delete;
  TSPThemeControl& operator=(const TSPThemeControl&) = delete;

  std::string Name;
  TSPThemeControlStyle CaptionStyle;
  TSPThemeControlStyle ValueStyle;

  // Completes construction (the list calls it right after creating the
  // entry, so overrides run): hooks both styles' OnChange to Changed, then
  // SetDefaults. Subclasses set their own fields after the inherited call.
  virtual void Create();
  // Both styles: no cache, no picture, Frames -1, no image name.
  virtual void Reset();
  // No name; both styles lose their picture.
  virtual void Clear();
  virtual void Changed() { Prepare(); }
  // The class defaults of both styles.
  virtual void SetDefaults();
  virtual void Prepare() {}
  // The label painter into a copy of rect.
  virtual void PaintLabel(TCanvas& dc, const TRect& rect, std::string_view text);
  // The entry's stream form: its trimmed name (short string), the caption
  // style, the value style, then the class's own fields. Reading checks
  // everything first and changes nothing on failure.
  virtual bool LoadFromStream(TStream& s, std::int32_t version);
  virtual void SaveToStream(TStream& s) const;
  virtual void Assign(const TSPThemeControl& source);
  void SavePlacement();
  void RestorePlacement();

 protected:
  // Base values of both styles, before the class changes them.
  void ApplyBaseDefaults();
  // The class's own fields after the styles (none in the base).
  virtual bool ReadOwnFields(TStream& /*s*/) { return true; }
  virtual void WriteOwnFields(TStream& /*s*/) const {}

 private:
  void StyleChanged(TSPThemeControlStyle* sender);
};

// Knobs and sliders. Kind 0 is a knob, any other value a slider; Pointer 0
// a 3 x 3 dot, 1 a line, 2 none.
class TSPThemeFader : public TSPThemeControl {
 public:
  std::uint8_t Horizontal = 0;
  std::uint8_t Pointer = 1;
  std::uint8_t Kind = 0;  // 0 while the defaults first run (a new entry gets the knob's)
  std::int32_t PointerWidth = 2;
  TColor PointerColor = 0xFFFFFF;

  void Create() override;
  void SetDefaults() override;
  void Assign(const TSPThemeControl& source) override;

 protected:
  bool ReadOwnFields(TStream& s) override;
  void WriteOwnFields(TStream& s) const override;
};

class TSPThemeSwitch : public TSPThemeControl {
 public:
  void SetDefaults() override;
};

class TSPThemeLabel : public TSPThemeControl {
 public:
  void SetDefaults() override;
};

class TSPThemeVUMeter : public TSPThemeControl {
 public:
  std::uint8_t Blend = 0;
  std::uint8_t Reserved = 0;  // stored and streamed only

  void Create() override;
  void SetDefaults() override;
  // With Blend, a single-frame caption picture and an "on" picture of the
  // same size: the caption style's cache becomes a 24-frame blend strip.
  void Prepare() override;
  void Assign(const TSPThemeControl& source) override;

 protected:
  bool ReadOwnFields(TStream& s) override;
  void WriteOwnFields(TStream& s) const override;
};

class TSPThemeSurface : public TSPThemeControl {
 public:
  void SetDefaults() override;
};

class TSPThemeButton : public TSPThemeControl {};
class TSPThemeEnvelope : public TSPThemeControl {};

class TSPThemeValueEdit : public TSPThemeControl {
 public:
  void SetDefaults() override;
};

class TSPThemeScope : public TSPThemeControl {};

// An owning list of entries of one class.
class TSPThemeControlList {
 public:
  explicit TSPThemeControlList(TSPTheme* theme) : Theme(theme) {}
  virtual ~TSPThemeControlList() = default;
  TSPThemeControlList(const TSPThemeControlList&) = delete;
  TSPThemeControlList& operator=(const TSPThemeControlList&) = delete;

  TSPTheme* Owner() const { return Theme; }
  int Count() const { return static_cast<int>(Items.size()); }
  TSPThemeControl* Item(int index) const { return Items.at(static_cast<std::size_t>(index)).get(); }
  // Null for an empty list or a negative index; the entry at index when in
  // range; else the entry at index mod count.
  TSPThemeControl* StyleByIndex(int index) const;
  // A new entry of the list's class, created and appended.
  virtual TSPThemeControl* AddNew() = 0;
  void Clear() { Items.clear(); }

 protected:
  TSPThemeControl* Append(std::unique_ptr<TSPThemeControl> entry);

 private:
  TSPTheme* Theme;
  std::vector<std::unique_ptr<TSPThemeControl>> Items;
};

template <typename TEntry>
class TSPThemeControlListOf : public TSPThemeControlList {
 public:
  using TSPThemeControlList::TSPThemeControlList;
  TEntry* Add() { return static_cast<TEntry*>(AddNew()); }
  TEntry* At(int index) const { return static_cast<TEntry*>(StyleByIndex(index)); }
  TSPThemeControl* AddNew() override {
    auto entry = std::make_unique<TEntry>();
    TSPThemeControl* raw = entry.get();
    Append(std::move(entry));
    raw->Create();
    return raw;
  }
};

using TSPThemeFaders = TSPThemeControlListOf<TSPThemeFader>;
using TSPThemeSwitches = TSPThemeControlListOf<TSPThemeSwitch>;
using TSPThemeLabels = TSPThemeControlListOf<TSPThemeLabel>;
using TSPThemeVUMeters = TSPThemeControlListOf<TSPThemeVUMeter>;
using TSPThemeSurfaces = TSPThemeControlListOf<TSPThemeSurface>;
using TSPThemeButtons = TSPThemeControlListOf<TSPThemeButton>;
using TSPThemeEnvelopes = TSPThemeControlListOf<TSPThemeEnvelope>;
using TSPThemeValueEdits = TSPThemeControlListOf<TSPThemeValueEdit>;
using TSPThemeScopes = TSPThemeControlListOf<TSPThemeScope>;

class TSPTheme {
 public:
  TSPTheme() = default;
  TSPTheme(const TSPTheme&) = delete;
  TSPTheme& operator=(const TSPTheme&) = delete;

  std::string Name;
  TSPThemeSwitches Switches{this};
  TSPThemeFaders HSliders{this};
  TSPThemeFaders Knobs{this};
  TSPThemeFaders VSliders{this};
  TSPThemeLabels Labels{this};
  TSPThemeVUMeters HVUMeters{this};
  TSPThemeVUMeters LEDs{this};
  TSPThemeVUMeters VVUMeters{this};
  TSPThemeSurfaces Surfaces{this};
  TSPThemeButtons Buttons{this};
  TSPThemeEnvelopes Envelopes{this};
  TSPThemeValueEdits ValueEdits{this};
  TSPThemeScopes Scopes{this};
};

class TSPThemes {
 public:
  int Count() const { return static_cast<int>(Items.size()); }
  // Throws std::out_of_range outside the list.
  TSPTheme& ThemeByIndex(int index) const;
  TSPTheme& Add(std::unique_ptr<TSPTheme> theme);
  void Clear() { Items.clear(); }

 private:
  std::vector<std::unique_ptr<TSPTheme>> Items;
};
