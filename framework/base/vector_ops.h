// Block arithmetic on float buffers, reached through process-wide operation
// pointers so that a faster variant can be put in place once at load time by
// the processor's features. Nothing in the instrument's own processing calls
// them: every DSP class loops over its buffers itself.
//
// Every operation writes destination[0 .. count-1] and nothing else; a count
// of 0 or below writes nothing. Destination and sources may be the same
// buffer. No alignment is required.
#pragma once

#include <cstdint>

using TVectorOp = void (*)(float* destination, const float* a, const float* b, std::int32_t count);

// destination[i] := a[i] x b[i]
extern TVectorOp VectorMul;
// destination[i] := a[i] + b[i]
extern TVectorOp VectorAdd;
// destination[i] := a[i] - b[i]
extern TVectorOp VectorSub;
// a is an interleaved stereo block, b holds the left and right factor:
// destination[i] := a[i] x b[i mod 2]
extern TVectorOp VectorStereoScale;
// b holds the left and right offset: destination[i] := a[i] + b[i mod 2]
extern TVectorOp VectorStereoOffset;

// Process-wide flags. VectorOpsEnabled is never set by the instrument, so
// the plain variants stay in place whatever the processor.
extern bool VectorOpsEnabled;
extern bool HasSSE;
// Always false: the 3DNow! variants are not built, as no x86-64 processor
// this runs on still offers those instructions.
extern bool Has3DNow;

// Load-time choice (runs once, before any caller can exist): puts the plain
// variants in place, reads the processor's SSE feature and then applies
// ChooseVectorOps.
void SelectVectorOps();
// Puts the plain variants in place and, when VectorOpsEnabled and HasSSE,
// the SSE multiply, add and subtract; the stereo operations stay plain.
void ChooseVectorOps();

// The variants, for the chooser and for tests.
void VectorMulPlain(float* destination, const float* a, const float* b, std::int32_t count);
void VectorAddPlain(float* destination, const float* a, const float* b, std::int32_t count);
void VectorSubPlain(float* destination, const float* a, const float* b, std::int32_t count);
void VectorStereoScalePlain(float* destination, const float* a, const float* b, std::int32_t count);
void VectorStereoOffsetPlain(float* destination, const float* a, const float* b, std::int32_t count);
void VectorMulSSE(float* destination, const float* a, const float* b, std::int32_t count);
void VectorAddSSE(float* destination, const float* a, const float* b, std::int32_t count);
void VectorSubSSE(float* destination, const float* a, const float* b, std::int32_t count);
