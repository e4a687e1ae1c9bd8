// The one place that names the final plug-in class of the module.
#pragma once

#include <memory>

#include "framework/vst/dsp_vst_base.h"

// The object `main` sets up and hands to the host.
std::unique_ptr<TDSPVSTBase> CreateRumbleonPlugin();
