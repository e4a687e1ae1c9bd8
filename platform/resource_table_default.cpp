// Fallback for binaries that embed no resources: the linker keeps the
// generated table of a binary that has one, since that definition is strong.
#include "platform/resources.h"

extern "C" __attribute__((weak)) const TResourceEntry* RumbleonResourceTable(std::size_t* count) {
  *count = 0;
  return nullptr;
}
