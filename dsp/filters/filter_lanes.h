// Several filters over their own buffers at once: the same result as
//   for (i = 0; i < count; ++i) filters[i]->ProcessSamples(buffers[i], n);
// but filters of a class with a vector form step several at a time in the
// lanes of vector registers, several registers interleaved: four lanes of
// SSE2 (the x86-64 baseline), or for the ladder eight lanes of AVX2 where
// the processor has it (TLaneWidth below).
// Each lane computes exactly what the class's own Step computes (the same
// single-precision operations in the same order, no contraction, the same
// flushes), so the outputs are bit-identical; only the latency of the
// recursions is shared. Classes with a vector form: the direct-form
// sections (Butterworth and cookbook types) and the four-pole ladder of the
// "24DB LP3" / "24DB HP" / "24DB BP" types. Other filters, and a group whose
// output goes non-finite somewhere (it needs the filter's own recovery, see
// TDSPFilter::BindSteps), run one by one.
//
// The filters must be distinct objects and the buffers must not overlap.
// Audio thread; allocates nothing.
#pragma once

#include <cstdint>

class TDSPFilter;

// Filters per call, at most.
inline constexpr std::int32_t kMaxLaneFilters = 64;
// Samples per buffer, at most (a one-millisecond sub-block up to 192 kHz
// and then some); longer runs go one by one.
inline constexpr std::int32_t kMaxLaneSamples = 256;

void ProcessFiltersTogether(TDSPFilter* const* filters, float* const* buffers, std::int32_t count, std::int32_t n);

// The vector widths of the ladder's lanes: SSE2 (four lanes), AVX2 (eight)
// and AVX2 on an AVX-512 processor (eight lanes, more registers). Each gives
// exactly the same outputs; the widest the processor has is in place from
// load time on.
enum class TLaneWidth : std::int32_t { kSse, kAvx2, kAvx512 };
// Puts `width` in place if the processor has it (answers whether it did).
// For tests and benchmarks: not while another thread runs filters together.
bool SelectLaneWidth(TLaneWidth width);
TLaneWidth WidestLaneWidthHere();
