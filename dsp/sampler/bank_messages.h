// The messages of the sample store. A message is handed to the installed hook
// (tests record it) or, without a hook, to the message routines
// (framework/base/messages.h): a dialog only where the reporting thread is
// handling the user's input in an open editor, otherwise stderr. The store
// loads its bank when the module loads, where no editor exists, so loading
// never waits on a user. Callable from any thread.
#pragma once

#include <string_view>

enum class TBankMessageKind { Error, Information };

using TBankMessageHook = void (*)(TBankMessageKind kind, std::string_view text);

// Reports one message and returns at once.
void ReportBankMessage(TBankMessageKind kind, std::string_view text);
// Installs a hook (null: back to stderr); returns the previous one.
TBankMessageHook SetBankMessageHook(TBankMessageHook hook);

// The store's own message texts.
inline constexpr std::string_view kMsgInvalidBank = "Invalid sample bank found . Corrupt file .";
inline constexpr std::string_view kMsgInvalidHeader = "Invalid header chunk in bank file";
inline constexpr std::string_view kMsgBankConverted =
    "Sampler banks were converted to 16 bit format from old 32 bit\r\ncompressed format . You should save the "
    "changes if the conversions were OK.\r\nThe conversions should always be exact.\r\nClick File-Save to save the "
    "banks in the new format when everything is loaded .";
