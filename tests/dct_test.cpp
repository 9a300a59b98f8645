// The 8x8 DCT references: worked examples, their outputs against recorded
// digests, and the MMX state the exported inverse leaves. kelvo4_checkasm
// holds every other version to the references.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "src/dct/dct.h"
#include "tests/checkasm/blocks.h"

// The exported inverse under its plain C name (as the assembler spells it),
// to check that it is the same entry.
#define TEXT(x) #x
#define C_NAME(prefix, name) TEXT(prefix) name
void idctPlainName(short* block) asm(C_NAME(__USER_LABEL_PREFIX__, "Vrel_IDct16_MMX"));

namespace {

using namespace kelvo4;

using checkasm::Block;

Block only(int index, int16_t v) {
  Block b{};
  b[index] = v;
  return b;
}

// The eight values along every row, or down every column.
Block wave(const std::array<int16_t, 8>& w, bool down) {
  Block b;
  for (int i = 0; i < 64; i++) b[i] = w[down ? i / 8 : i % 8];
  return b;
}

Block filled(int16_t v) { return wave({v, v, v, v, v, v, v, v}, false); }

// FNV-1a over the 16-bit outputs of blocks, for outputs that a worked example
// would only copy.
uint64_t digest(uint64_t h, const Block& b) {
  for (int16_t v : b) h = (h ^ static_cast<uint16_t>(v)) * 1099511628211ull;
  return h;
}

Block run(void (*fn)(short*), Block b) {
  fn(b.data());
  return b;
}

TEST(IdctReference, DcOnlyBlocksForEveryValue) {
  // Row 0 rounds (D + 4) / 8 and the other rows (D + 3) / 8, both toward
  // minus infinity, then clamp to [-512, 511].
  for (int d = -32768; d <= 32767; d++) {
    const Block out = run(idctC, only(0, static_cast<int16_t>(d)));
    const int row0 = std::clamp((d + 4) >> 3, -512, 511), rest = std::clamp((d + 3) >> 3, -512, 511);
    for (int i = 0; i < 64; i++) ASSERT_EQ(out[i], i < 8 ? row0 : rest) << "D = " << d << ", element " << i;
  }
}

TEST(IdctReference, KnownBlocks) {
  Block expect = wave({173, 147, 98, 34, -34, -98, -147, -173}, false);
  expect[3] = 35;
  expect[8 * 3 + 4] = expect[8 * 4 + 4] = -35;
  EXPECT_EQ(run(idctC, only(1, 1000)), expect) << "1000 at horizontal frequency 1";
  EXPECT_EQ(run(idctC, only(8, 1000)), wave({173, 147, 98, 34, -35, -98, -147, -173}, true)) << "at vertical frequency 1";
  // The clamps in step order: adding the two DC terms directly would give 0.
  Block dc = only(0, -2500);
  dc[32] = 2500;
  EXPECT_EQ(run(idctC, dc), wave({0, -512, -512, -1, -1, -512, -512, -1}, true)) << "-2500 at DC, 2500 at vertical 4";
}

TEST(FdctReference, KnownBlocks) {
  for (int m = -256; m <= 255; m++)
    ASSERT_EQ(run(fdctC, filled(static_cast<int16_t>(m))), only(0, static_cast<int16_t>(8 * m))) << "m = " << m;
  // A cosine of frequency 1 along every row, then down every column: the
  // result is transposed, not mirrored.
  static constexpr std::array<int16_t, 8> cosine = {98, 83, 56, 20, -20, -56, -83, -98};
  Block expect = only(1, 566);
  expect[3] = -2, expect[5] = 2;
  EXPECT_EQ(run(fdctC, wave(cosine, false)), expect);
  expect = only(8, 566);
  expect[24] = -2, expect[40] = 2;
  EXPECT_EQ(run(fdctC, wave(cosine, true)), expect);
  // The rounding offset 10 of F(1, 0) shows on tiny inputs.
  EXPECT_EQ(run(fdctC, only(0, 2)), only(8, 1));
}

// The references on the fixed blocks and on 9000 random ones of every
// distribution (a seed of their own), as one digest per kernel, recorded
// from the reference: every stored constant and every step of the reference
// shows in it, and kelvo4_checkasm carries it to every version.
TEST(DctReference, OutputsMatchRecordedDigests) {
  using Digest = std::pair<void (*)(short*), uint64_t>;
  for (auto [ref, recorded] : {Digest{idctC, 7378567861631618679ull}, Digest{fdctC, 11529908454738878484ull}}) {
    checkasm::Rng rng(20240611);
    std::vector<Block> blocks = checkasm::fixedBlocks();
    for (int i = 0; i < 9000; i++) blocks.push_back(checkasm::randomBlock(i % 9, rng));
    uint64_t h = 14695981039346656037ull;
    for (Block b : blocks) {
      ref(b.data());
      h = digest(h, b);
    }
    EXPECT_EQ(h, recorded) << (ref == idctC ? "idct" : "fdct");
  }
}

TEST(IdctMmx, ExportedUnderBothNamesAndClearsMmxState) {
  EXPECT_EQ(reinterpret_cast<void*>(&idctPlainName), reinterpret_cast<void*>(&Vrel_IDct16_MMX));
  Block b = only(0, 80);
  idctPlainName(b.data());
  // No _mm_empty here: x87 arithmetic right after the kernel must work.
  volatile long double x = 1.5L;
  EXPECT_EQ(x * 3.0L, 4.5L);
  EXPECT_EQ(b[63], 10);
}

}  // namespace
