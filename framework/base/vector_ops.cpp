#include "framework/base/vector_ops.h"

#include <xmmintrin.h>

#include "platform/cpu_features.h"

TVectorOp VectorMul = VectorMulPlain;
TVectorOp VectorAdd = VectorAddPlain;
TVectorOp VectorSub = VectorSubPlain;
TVectorOp VectorStereoScale = VectorStereoScalePlain;
TVectorOp VectorStereoOffset = VectorStereoOffsetPlain;

bool VectorOpsEnabled = false;
bool HasSSE = false;
bool Has3DNow = false;

namespace {

struct TMul {
  static float Apply(float x, float y) { return x * y; }
  static __m128 Apply(__m128 x, __m128 y) { return _mm_mul_ps(x, y); }
};
struct TAdd {
  static float Apply(float x, float y) { return x + y; }
  static __m128 Apply(__m128 x, __m128 y) { return _mm_add_ps(x, y); }
};
struct TSub {
  static float Apply(float x, float y) { return x - y; }
  static __m128 Apply(__m128 x, __m128 y) { return _mm_sub_ps(x, y); }
};

// Blocks of sixteen elements written out one by one, then the rest.
template <typename Op>
void ElementWisePlain(float* d, const float* a, const float* b, std::int32_t count) {
  std::int32_t i = 0;
  for (; i + 16 <= count; i += 16) {
    d[i + 0] = Op::Apply(a[i + 0], b[i + 0]);
    d[i + 1] = Op::Apply(a[i + 1], b[i + 1]);
    d[i + 2] = Op::Apply(a[i + 2], b[i + 2]);
    d[i + 3] = Op::Apply(a[i + 3], b[i + 3]);
    d[i + 4] = Op::Apply(a[i + 4], b[i + 4]);
    d[i + 5] = Op::Apply(a[i + 5], b[i + 5]);
    d[i + 6] = Op::Apply(a[i + 6], b[i + 6]);
    d[i + 7] = Op::Apply(a[i + 7], b[i + 7]);
    d[i + 8] = Op::Apply(a[i + 8], b[i + 8]);
    d[i + 9] = Op::Apply(a[i + 9], b[i + 9]);
    d[i + 10] = Op::Apply(a[i + 10], b[i + 10]);
    d[i + 11] = Op::Apply(a[i + 11], b[i + 11]);
    d[i + 12] = Op::Apply(a[i + 12], b[i + 12]);
    d[i + 13] = Op::Apply(a[i + 13], b[i + 13]);
    d[i + 14] = Op::Apply(a[i + 14], b[i + 14]);
    d[i + 15] = Op::Apply(a[i + 15], b[i + 15]);
  }
  for (; i < count; ++i) d[i] = Op::Apply(a[i], b[i]);
}

// Blocks of sixteen floats as four groups of four with both sources
// prefetched 128 bytes ahead, then groups of four, then single elements.
// Unaligned loads and stores: on current processors they cost the same as
// aligned ones on aligned data, and no caller can fault on an odd address.
template <typename Op>
void ElementWiseSSE(float* d, const float* a, const float* b, std::int32_t count) {
  std::int32_t i = 0;
  for (; i + 16 <= count; i += 16) {
    // A prefetch never faults, even past the end of a buffer.
    _mm_prefetch(reinterpret_cast<const char*>(a + i) + 128, _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(b + i) + 128, _MM_HINT_T0);
    const __m128 r0 = Op::Apply(_mm_loadu_ps(a + i + 0), _mm_loadu_ps(b + i + 0));
    const __m128 r1 = Op::Apply(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4));
    const __m128 r2 = Op::Apply(_mm_loadu_ps(a + i + 8), _mm_loadu_ps(b + i + 8));
    const __m128 r3 = Op::Apply(_mm_loadu_ps(a + i + 12), _mm_loadu_ps(b + i + 12));
    _mm_storeu_ps(d + i + 0, r0);
    _mm_storeu_ps(d + i + 4, r1);
    _mm_storeu_ps(d + i + 8, r2);
    _mm_storeu_ps(d + i + 12, r3);
  }
  for (; i + 4 <= count; i += 4) _mm_storeu_ps(d + i, Op::Apply(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  for (; i < count; ++i) d[i] = Op::Apply(a[i], b[i]);
}

// Interleaved stereo: blocks of sixteen floats (eight frames), then frames,
// then a last single left value when the count is odd. The two factors are
// read before the first write, so b may lie inside the destination.
template <typename Op>
void StereoPlain(float* d, const float* a, const float* b, std::int32_t count) {
  if (count <= 0) return;
  const float left = b[0];
  const float right = count > 1 ? b[1] : 0.0f;
  std::int32_t i = 0;
  for (; i + 16 <= count; i += 16)
    for (std::int32_t k = 0; k < 16; k += 2) {
      d[i + k] = Op::Apply(a[i + k], left);
      d[i + k + 1] = Op::Apply(a[i + k + 1], right);
    }
  for (; i + 2 <= count; i += 2) {
    d[i] = Op::Apply(a[i], left);
    d[i + 1] = Op::Apply(a[i + 1], right);
  }
  if (i < count) d[i] = Op::Apply(a[i], left);
}

// Runs once when the binary is loaded.
[[gnu::constructor]] void InitVectorOps() { SelectVectorOps(); }

}  // namespace

void VectorMulPlain(float* d, const float* a, const float* b, std::int32_t n) { ElementWisePlain<TMul>(d, a, b, n); }
void VectorAddPlain(float* d, const float* a, const float* b, std::int32_t n) { ElementWisePlain<TAdd>(d, a, b, n); }
void VectorSubPlain(float* d, const float* a, const float* b, std::int32_t n) { ElementWisePlain<TSub>(d, a, b, n); }
void VectorStereoScalePlain(float* d, const float* a, const float* b, std::int32_t n) { StereoPlain<TMul>(d, a, b, n); }
void VectorStereoOffsetPlain(float* d, const float* a, const float* b, std::int32_t n) {
  StereoPlain<TAdd>(d, a, b, n);
}
void VectorMulSSE(float* d, const float* a, const float* b, std::int32_t n) { ElementWiseSSE<TMul>(d, a, b, n); }
void VectorAddSSE(float* d, const float* a, const float* b, std::int32_t n) { ElementWiseSSE<TAdd>(d, a, b, n); }
void VectorSubSSE(float* d, const float* a, const float* b, std::int32_t n) { ElementWiseSSE<TSub>(d, a, b, n); }

void ChooseVectorOps() {
  VectorMul = VectorMulPlain;
  VectorAdd = VectorAddPlain;
  VectorSub = VectorSubPlain;
  VectorStereoScale = VectorStereoScalePlain;
  VectorStereoOffset = VectorStereoOffsetPlain;
  if (VectorOpsEnabled && HasSSE) {
    VectorMul = VectorMulSSE;
    VectorAdd = VectorAddSSE;
    VectorSub = VectorSubSSE;
  }
}

void SelectVectorOps() {
  static bool done = false;  // load time, one thread: no race
  if (done) return;
  done = true;
  HasSSE = CpuFeatures().Sse;
  Has3DNow = false;
  ChooseVectorOps();
}
