// The body of the module's entry (`VSTPluginMain` / `main`): the host's
// version check, the creation of the plug-in object and its set-up.
#pragma once

#include <memory>

#include "framework/vst/dsp_vst_base.h"

// Creates the final plug-in object (not yet set up); null when it cannot.
using TPluginFactory = std::unique_ptr<TDSPVSTBase> (*)();

// Runs in the plug-in's floating-point environment and gives the caller's
// back. A host that answers 0 to the version request gets no plug-in; no
// exception leaves. Returns the effect record of the new object, or null.
TVstEffect* RunPluginMain(TVstHostCallback host, TPluginFactory factory);
