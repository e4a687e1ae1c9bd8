// Non-interactive message path: an error that must reach the user but may
// not block (no dialog while loading, constructing or preparing a graph) is
// written to stderr and handed to an optional hook. Any thread may report.
#pragma once

#include <string_view>

// Receives every reported text; runs on the reporting thread.
using TErrorReportHook = void (*)(std::string_view text);

// Writes text and a line end to stderr, then calls the hook if one is set.
void ReportError(std::string_view text);

// Installs hook (null removes it) and answers the previous one.
TErrorReportHook SetErrorReportHook(TErrorReportHook hook);
