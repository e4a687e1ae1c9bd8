// The editor checks of the conformance suite (checks.h): any VST 2 plug-in's
// editor opened the way a Linux host opens it (editor_host.h). Each skips
// without an editor or without a display.
#pragma once

#include "tools/host/check_support.h"

namespace check_support {

// Open and close cold, warm, ten times in a row and while a render thread
// processes: the plug-in's window fills the rectangle it reports and goes
// with the close request, and audio blocks keep coming.
TCheckResult CheckEditorSessions(TCheckContext& ctx);
// Clicks with each button and vertical drags over the editor: automation
// only for parameters that exist, with values from 0 to 1, and every
// begin-edit ended, also when the editor is closed in the middle of a drag;
// after that the pointer is free and the cursor visible.
TCheckResult CheckEditorMouse(TCheckContext& ctx);
// The host destroys its window before the close request: the plug-in lives
// on, closes and opens again.
TCheckResult CheckEditorParentGone(TCheckContext& ctx);

}  // namespace check_support
