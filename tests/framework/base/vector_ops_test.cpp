#include "framework/base/vector_ops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct TVariant {
  const char* Name;
  TVectorOp Op;
  float (*Expected)(float, float);
};

const TVariant kElementWise[] = {
    {"MulPlain", VectorMulPlain, [](float x, float y) { return x * y; }},
    {"AddPlain", VectorAddPlain, [](float x, float y) { return x + y; }},
    {"SubPlain", VectorSubPlain, [](float x, float y) { return x - y; }},
    {"MulSSE", VectorMulSSE, [](float x, float y) { return x * y; }},
    {"AddSSE", VectorAddSSE, [](float x, float y) { return x + y; }},
    {"SubSSE", VectorSubSSE, [](float x, float y) { return x - y; }},
};

constexpr float kGuard = -12345.0f;

// Sources with distinct values; the destination is one float longer than
// the count (a guard) and starts at an odd address, so the SIMD variants
// meet an unaligned buffer.
struct TBuffers {
  explicit TBuffers(std::int32_t count) : A(count + 1), B(count + 1), Storage(count + 3, kGuard) {
    for (std::int32_t i = 0; i <= count; ++i) {
      A[i] = 0.25f * static_cast<float>(i) - 3.0f;
      B[i] = 1.5f + 0.125f * static_cast<float>(i % 7);
    }
  }
  float* D() { return Storage.data() + 1; }
  std::vector<float> A, B, Storage;
};

}  // namespace

TEST(VectorOps, EveryVariantWritesExactlyCountElements) {
  for (const TVariant& v : kElementWise)
    for (std::int32_t count : {0, 1, 3, 4, 15, 16, 17, 33, 100}) {
      SCOPED_TRACE(std::string(v.Name) + " count " + std::to_string(count));
      TBuffers buf(count);
      v.Op(buf.D(), buf.A.data(), buf.B.data(), count);
      EXPECT_EQ(buf.Storage[0], kGuard);  // nothing before the destination
      for (std::int32_t i = 0; i < count; ++i) ASSERT_EQ(buf.D()[i], v.Expected(buf.A[i], buf.B[i])) << i;
      EXPECT_EQ(buf.D()[count], kGuard);  // e.g. count 17 leaves the 18th untouched
    }
}

TEST(VectorOps, NegativeCountWritesNothing) {
  TBuffers buf(4);
  VectorMulSSE(buf.D(), buf.A.data(), buf.B.data(), -5);
  VectorStereoScalePlain(buf.D(), buf.A.data(), buf.B.data(), -5);
  for (float x : buf.Storage) EXPECT_EQ(x, kGuard);
}

TEST(VectorOps, SSEAndPlainAgreeInPlace) {
  for (std::int32_t count : {7, 16, 37, 64}) {
    TBuffers plain(count), simd(count);
    std::memcpy(plain.D(), plain.A.data(), sizeof(float) * count);
    std::memcpy(simd.D(), simd.A.data(), sizeof(float) * count);
    // Destination and first source are the same buffer.
    VectorSubPlain(plain.D(), plain.D(), plain.B.data(), count);
    VectorSubSSE(simd.D(), simd.D(), simd.B.data(), count);
    EXPECT_EQ(0, std::memcmp(plain.Storage.data(), simd.Storage.data(), sizeof(float) * plain.Storage.size()));
  }
}

TEST(VectorOps, StereoScaleAndOffsetAlternateLeftRightIncludingTheRemainder) {
  // 16 floats make one block; frames 8 and 9 are the remainder.
  constexpr std::int32_t kCount = 20;
  std::vector<float> ones(kCount, 1.0f), zeros(kCount, 0.0f);
  std::vector<float> out(kCount + 1, kGuard);
  const float factors[2] = {0.5f, 2.0f};
  VectorStereoScale(out.data(), ones.data(), factors, kCount);
  for (std::int32_t i = 0; i < kCount; i += 2) {
    EXPECT_EQ(out[i], 0.5f) << i;
    EXPECT_EQ(out[i + 1], 2.0f) << i;
  }
  EXPECT_EQ(out[kCount], kGuard);

  const float offsets[2] = {1.0f, -1.0f};
  VectorStereoOffset(out.data(), zeros.data(), offsets, kCount);
  for (std::int32_t i = 0; i < kCount; i += 2) {
    EXPECT_EQ(out[i], 1.0f) << i;
    EXPECT_EQ(out[i + 1], -1.0f) << i;
  }
  EXPECT_EQ(out[kCount], kGuard);

  // An odd count ends on a left value and writes nothing beyond it.
  std::fill(out.begin(), out.end(), kGuard);
  VectorStereoOffset(out.data(), zeros.data(), offsets, 19);
  EXPECT_EQ(out[18], 1.0f);
  EXPECT_EQ(out[19], kGuard);
}

TEST(VectorOps, PlainVariantsStayUnlessEnabled) {
  SelectVectorOps();  // already ran at load: a second call changes nothing
  EXPECT_FALSE(VectorOpsEnabled);
  EXPECT_FALSE(Has3DNow);
  EXPECT_TRUE(HasSSE);  // every x86-64 processor has it
  EXPECT_EQ(VectorMul, &VectorMulPlain);
  EXPECT_EQ(VectorAdd, &VectorAddPlain);
  EXPECT_EQ(VectorSub, &VectorSubPlain);

  VectorOpsEnabled = true;
  ChooseVectorOps();
  EXPECT_EQ(VectorMul, &VectorMulSSE);
  EXPECT_EQ(VectorAdd, &VectorAddSSE);
  EXPECT_EQ(VectorSub, &VectorSubSSE);
  EXPECT_EQ(VectorStereoScale, &VectorStereoScalePlain);
  EXPECT_EQ(VectorStereoOffset, &VectorStereoOffsetPlain);
  VectorOpsEnabled = false;
  ChooseVectorOps();
  EXPECT_EQ(VectorMul, &VectorMulPlain);
}
