#include "gui/dialogs/message_dialogs.h"

#include <algorithm>

#include "framework/base/messages.h"
#include "platform/x11/platform_window.h"

namespace {

// Sizes of the dialogs in dialog units (x in quarters, y in eighths of the
// font's average character).
constexpr int kHorzMargin = 8, kVertMargin = 8, kHorzSpacing = 10, kVertSpacing = 10;
constexpr int kButtonWidth = 50, kButtonHeight = 14, kButtonSpacing = 4;
constexpr int kIconSize = 32;

int MulDiv(int a, int b, int c) { return c == 0 ? 0 : static_cast<int>((static_cast<long long>(a) * b + c / 2) / c); }

// A flat button as the dialogs use it.
TXPSpeedButton& AddDialogButton(TXPForm& form, std::string_view caption, std::int32_t result, const TFontHandle& font) {
  TXPSpeedButton& b = form.Add<TXPSpeedButton>();
  b.Caption = std::string(caption);
  b.ModalResult = result;
  b.BorderSolid = true;
  b.BorderLight = clBtnHighlight;
  b.BorderDark = clBtnShadow;
  b.GradientStyle = fdLNW;
  b.FadeColorProp = true;
  b.Color = clBtnFace;
  b.FontResize = true;
  b.Font = font;
  return b;
}

TMessageIcon IconOf(TMsgDlgType type) {
  switch (type) {
    case TMsgDlgType::mtWarning:
      return TMessageIcon::Warning;
    case TMsgDlgType::mtError:
      return TMessageIcon::Error;
    case TMsgDlgType::mtConfirmation:
      return TMessageIcon::Confirmation;
    default:
      return TMessageIcon::Information;
  }
}

}  // namespace

std::unique_ptr<TXPForm> CreateMessageDialog(std::string_view message, TMsgDlgType type, TMsgDlgButtons buttons,
                                             std::int32_t screenWidth) {
  auto form = std::make_unique<TXPForm>();
  form->Font = DialogFont("Arial", 9);
  // The message dialog keeps the plain face colour; only its buttons are flat.
  form->PlainBackground = true;
  form->Color = clBtnFace;
  if (type != TMsgDlgType::mtCustom) form->Caption = std::string(kMsgDlgCaptions[static_cast<std::size_t>(type)]);
  const TSize units = DialogUnits(form->Font);
  const int horzMargin = MulDiv(kHorzMargin, units.Width, 4), vertMargin = MulDiv(kVertMargin, units.Height, 8);
  const int horzSpacing = MulDiv(kHorzSpacing, units.Width, 4), vertSpacing = MulDiv(kVertSpacing, units.Height, 8);
  const int buttonSpacing = MulDiv(kButtonSpacing, units.Width, 4);
  const int buttonHeight = MulDiv(kButtonHeight, units.Height, 8);
  const TFontHandle buttonFont = DialogFont("Arial", 9, true);

  // The message, word-wrapped to half the screen.
  TBitmap measure(4, 4);
  TCanvas& dc = measure.Canvas();
  dc.SetFont(form->Font);
  const std::int32_t wrapWidth = std::max<std::int32_t>(100, (screenWidth > 0 ? screenWidth : 1280) / 2);
  const std::vector<std::string> lines = WrapText(dc, message, wrapWidth);
  std::int32_t textWidth = 0;
  for (const std::string& line : lines) textWidth = std::max(textWidth, dc.TextWidth(line));
  const std::int32_t textHeight = static_cast<std::int32_t>(lines.size()) * dc.TextHeight("Ag");
  const bool icon = type != TMsgDlgType::mtCustom;
  const int iconTextWidth = textWidth + (icon ? kIconSize + horzSpacing : 0);
  const int iconTextHeight = icon ? std::max(kIconSize, textHeight) : textHeight;

  // Every button as wide as the widest caption needs, at least 50 units.
  std::vector<TMsgDlgBtn> shown;
  for (unsigned b = mbYes; b <= mbHelp; ++b)
    if (buttons & (1u << b)) shown.push_back(static_cast<TMsgDlgBtn>(b));
  dc.SetFont(buttonFont);
  int buttonWidth = MulDiv(kButtonWidth, units.Width, 4);
  for (TMsgDlgBtn b : shown)
    buttonWidth = std::max(buttonWidth, dc.TextWidth(StripAccelerator(kMsgDlgButtonCaptions[b])) + 16);
  const int count = static_cast<int>(shown.size());
  const int groupWidth = count > 0 ? count * buttonWidth + (count - 1) * buttonSpacing : 0;

  form->ClientWidth = std::max(iconTextWidth, groupWidth) + horzMargin * 2;
  form->ClientHeight = iconTextHeight + buttonHeight + vertSpacing + vertMargin * 2;

  if (icon) {
    TXPImage& image = form->Add<TXPImage>();
    image.Icon = IconOf(type);
    image.SetBounds(horzMargin, vertMargin, kIconSize, kIconSize);
  }
  TXPLabel& text = form->Add<TXPLabel>();
  text.Caption = std::string(message);
  text.WordWrap = true;
  text.SetBounds(horzMargin + (icon ? kIconSize + horzSpacing : 0), vertMargin, textWidth + 1, textHeight);

  const TMsgDlgBtn defaultButton = (buttons & (1u << mbOK)) != 0 ? mbOK : mbYes;
  const TMsgDlgBtn cancelButton = (buttons & (1u << mbCancel)) ? mbCancel : (buttons & (1u << mbNo)) ? mbNo : mbOK;
  int x = (form->ClientWidth - groupWidth) / 2;
  const int y = iconTextHeight + vertMargin + vertSpacing;
  for (TMsgDlgBtn b : shown) {
    TXPSpeedButton& button = AddDialogButton(*form, kMsgDlgButtonCaptions[b], kMsgDlgButtonResults[b], buttonFont);
    button.Default = b == defaultButton;
    button.Cancel = b == cancelButton;
    button.SetBounds(x, y, buttonWidth, buttonHeight);
    x += buttonWidth + buttonSpacing;
  }
  return form;
}

std::int32_t MessageDlg(const TDialogOwner& owner, std::string_view message, TMsgDlgType type, TMsgDlgButtons buttons) {
  int width = 0, height = 0;
  if (owner.Window == nullptr || !owner.Window->ScreenSize(width, height)) width = 1280;
  std::unique_ptr<TXPForm> form = CreateMessageDialog(message, type, buttons, width);
  return form->ShowModal(owner);
}

std::unique_ptr<TXPForm> CreateInputQueryForm(std::string_view caption, std::string_view prompt,
                                              std::string_view value) {
  auto form = std::make_unique<TXPForm>();
  form->Caption = std::string(caption);
  form->Font = DialogFont("Arial", 8);
  const TSize units = DialogUnits(form->Font);
  form->ClientWidth = MulDiv(180, units.Width, 4);

  TXPLabel& label = form->Add<TXPLabel>();
  label.Caption = std::string(prompt);
  label.SetBounds(MulDiv(8, units.Width, 4), MulDiv(8, units.Height, 8), MulDiv(164, units.Width, 4), units.Height + 2);

  TXPEdit& edit = form->Add<TXPEdit>();
  edit.MaxLength = 255;
  edit.SetBounds(MulDiv(8, units.Width, 4), MulDiv(19, units.Height, 8), MulDiv(164, units.Width, 4), units.Height + 8);
  edit.SetText(value);

  const int buttonTop = edit.Top + edit.Height + 15;
  const int buttonWidth = MulDiv(50, units.Width, 4), buttonHeight = MulDiv(14, units.Height, 8);
  const TFontHandle buttonFont = DialogFont("Arial", 8, true);
  TXPSpeedButton& ok = AddDialogButton(*form, kMsgDlgButtonCaptions[mbOK], mrOk, buttonFont);
  ok.Default = true;
  ok.SetBounds(MulDiv(38, units.Width, 4), buttonTop, buttonWidth, buttonHeight);
  TXPSpeedButton& cancel = AddDialogButton(*form, kMsgDlgButtonCaptions[mbCancel], mrCancel, buttonFont);
  cancel.Cancel = true;
  cancel.SetBounds(MulDiv(92, units.Width, 4), buttonTop, buttonWidth, buttonHeight);
  form->ClientHeight = buttonTop + buttonHeight + 13;
  form->SetFocus(&edit);
  return form;
}

TXPEdit* InputQueryEdit(TXPForm& form) {
  for (const auto& c : form.Controls())
    if (auto* edit = dynamic_cast<TXPEdit*>(c.get())) return edit;
  return nullptr;
}

bool InputQuery(const TDialogOwner& owner, std::string_view caption, std::string_view prompt, std::string& value) {
  std::unique_ptr<TXPForm> form = CreateInputQueryForm(caption, prompt, value);
  if (form->ShowModal(owner) != mrOk) return false;
  value = InputQueryEdit(*form)->Text();
  return true;
}

void ShowInfoMessage(const TDialogOwner& owner, std::string_view text) {
  if (MessageDlg(owner, text, TMsgDlgType::mtInformation, MsgButtons({mbOK})) == kModalNotShown) ReportError(text);
}

bool ConfirmYesNo(const TDialogOwner& owner, std::string_view text) {
  return MessageDlg(owner, text, TMsgDlgType::mtConfirmation, MsgButtons({mbYes, mbNo})) == mrYes;
}
