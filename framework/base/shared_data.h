// Data that all instances of the plug-in in this module share (the wave
// tables, the sample store), made once on first use.
//
// The module's statics are destroyed when it is unloaded or when the process
// ends. A host may end with instances still open and its threads still
// calling them (an audio thread that renders until the process is gone):
// their shared data is then kept rather than freed, since the process is
// ending anyway. A module unloaded with no instance left frees it, after
// every other static of the module.
#pragma once

#include <cstdint>

// The plug-in instances alive in this module (any thread).
void InstanceOpened();
void InstanceClosed();
std::int32_t OpenInstanceCount();

namespace shared_data_detail {
void Keep(void* object, void (*free)(void*));
}

// Takes the object made on first use; the caller keeps the address in a
// function-local static pointer, which stays readable to the end:
//   static T* const shared = SharedByInstances(new T);
template <class T>
T* SharedByInstances(T* object) {
  shared_data_detail::Keep(const_cast<void*>(static_cast<const void*>(object)),
                           [](void* p) { delete static_cast<T*>(p); });
  return object;
}
