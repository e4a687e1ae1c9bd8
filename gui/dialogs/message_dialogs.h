// The modal message dialog, the input query and the two one-line message
// routines the plug-in uses for notices and yes/no questions, built from
// the dialog controls (xp_controls.h). Each runs its own loop on the calling
// thread (the host's editor thread) until the user answers, the window is
// closed or the owner cancels; none may be called while the plug-in's lock
// is held. Where no window can be opened (no display), a notice goes to the
// non-interactive path and a question answers no / cancelled.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "gui/dialogs/xp_controls.h"

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TMsgDlgBtn : unsigned {
  mbYes,
  mbNo,
  mbOK,
  mbCancel,
  mbAbort,
  mbRetry,
  mbIgnore,
  mbAll,
  mbNoToAll,
  mbYesToAll,
  mbHelp
};
using TMsgDlgButtons = unsigned;  // bit b for button b
constexpr TMsgDlgButtons MsgButtons(std::initializer_list<TMsgDlgBtn> buttons) {
  TMsgDlgButtons set = 0;
  for (TMsgDlgBtn b : buttons) set |= 1u << b;
  return set;
}

// The dialogs' captions (warning, error, information, confirmation) and the
// buttons' captions, in the order of TMsgDlgBtn ('&' marks the accelerator).
inline constexpr std::array<std::string_view, 4> kMsgDlgCaptions = {"Warning", "Error", "Information", "Confirm"};
inline constexpr std::array<std::string_view, 11> kMsgDlgButtonCaptions = {
    "&Yes", "&No", "OK", "Cancel", "&Abort", "&Retry", "&Ignore", "&All", "N&o to All", "Yes to &All", "&Help"};
// The modal result of each button, in the same order (Help ends nothing).
inline constexpr std::array<std::int32_t, 11> kMsgDlgButtonResults = {
    mrYes, mrNo, mrOk, mrCancel, mrAbort, mrRetry, mrIgnore, mrAll, mrNoToAll, mrYesToAll, mrNone};

// The message dialog: the icon of its type, the message word-wrapped to at
// most half the screen's width (640 pixels when no screen is known), and a
// centred row of flat buttons in the dialog font ("Arial" 9). OK (else Yes)
// is the default button; Cancel (else No, else OK) the cancel button.
std::unique_ptr<TXPForm> CreateMessageDialog(std::string_view message, TMsgDlgType type, TMsgDlgButtons buttons,
                                             std::int32_t screenWidth = 1280);
// Shows it: the modal result, or kModalNotShown.
std::int32_t MessageDlg(const TDialogOwner& owner, std::string_view message, TMsgDlgType type, TMsgDlgButtons buttons);

// The input query form: Prompt above an edit box holding Value (at most 255
// characters, all selected), OK (default) and Cancel (cancel) below.
std::unique_ptr<TXPForm> CreateInputQueryForm(std::string_view caption, std::string_view prompt,
                                              std::string_view value);
// The edit box of an input query form.
TXPEdit* InputQueryEdit(TXPForm& form);
// True with Value := the text when the query ended with OK; Value stays as
// it was otherwise.
bool InputQuery(const TDialogOwner& owner, std::string_view caption, std::string_view prompt, std::string& value);

// The information dialog with an OK button.
void ShowInfoMessage(const TDialogOwner& owner, std::string_view text);
// The confirmation dialog with Yes (default) and No (cancel): true for Yes.
bool ConfirmYesNo(const TDialogOwner& owner, std::string_view text);
