#include "module/plugin_factory.h"

#include "engines/rumbleon2.h"

std::unique_ptr<TDSPVSTBase> CreateRumbleonPlugin() { return std::make_unique<TRumbleon2>(); }
