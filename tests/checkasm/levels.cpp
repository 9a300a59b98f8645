// The functions of each level: the one file that names instruction sets and
// asks which of them this processor has (with the CPU mask applied).
#include <algorithm>

#include "src/dct/dct.h"
#include "tests/checkasm/checkasm.h"

namespace checkasm {

using namespace kelvo4;

namespace {

void withStages(Level& l, StageLevel s) {
  if (!stageLevelSupported(s)) return;
  const Stages& st = stagesFor(s);
  l.smoothRows = st.smoothRows;
  l.convert = st.convert;
  l.convertArgb = st.convertArgb;
  l.addBand = st.addBand;
  l.decodeBlock = st.decodeBlock;
}

Level& add(std::vector<Level>& levels, const char* name) {
  levels.emplace_back().name = name;
  return levels.back();
}

}  // namespace

void clearState() {
#if KELVO4_X86
  if (cpuFlags() & kCpuMmx) clearMmxState();
#endif
}

std::vector<Level> levels() {
  const unsigned flags = cpuFlags();
  std::vector<Level> out;
  Level& c = add(out, "c");
  c.idct = {{"idct", idctC}};
  c.fdct = {{"fdct", fdctC}};
  c.idctRows = [](short* b, unsigned) { idctC(b); };
  c.idctPair = [](short* a, short* b) { idctC(a), idctC(b); };
  c.fdctTo = [](const short* in, short* o) { std::copy(in, in + 64, o), fdctC(o); };
  withStages(c, StageLevel::Scalar);
  c.prepareBlock = prepareBlock;
  c.encoder = &scalarEncoderKernels();
  c.yuvRow = yuvRowC;
#if KELVO4_X86
  if (flags & kCpuMmx) {
    Level& l = add(out, "mmx");
    l.idct = {{"idct_mmx", idctMmx}, {"idct_mmx_clear", idctMmxClear}};
    l.fdct = {{"fdct_mmx", fdctMmx}, {"fdct_mmx_clear", fdctMmxClear}};
    l.idctRows = idctRowsMmx;
    withStages(l, StageLevel::Mmx);
  }
  if (flags & kCpuSse) {
    Level& l = add(out, "sse");
    l.idct = {{"idct_sse", idctSse}};
    l.fdct = {{"fdct_sse", fdctSse}};
    l.idctRows = idctRowsSse;
    withStages(l, StageLevel::Sse);
  }
  if (flags & kCpuSse2) {
    Level& l = add(out, "sse2");
    l.idct = {{"idct_sse2", idctSse2}};
    l.fdct = {{"fdct_sse2", static_cast<BlockFn>(fdctSse2)}};
    l.fdctTo = fdctSse2;
    l.idctRows = idctRowsSse2;
    withStages(l, StageLevel::Sse2);
    l.prepareBlock = prepareBlockSse2;
    l.encoder = sse2EncoderKernels();
    l.yuvRow = yuvRowSse2();
  }
  if (flags & kCpuSsse3) {
    Level& l = add(out, "ssse3");
    withStages(l, StageLevel::Ssse3);
    if (flags & kCpuSse2) l.prepareBlock = prepareBlockSsse3;
  }
  if (flags & kCpuAvx2) {
    Level& l = add(out, "avx2");
    l.idctPair = idctPairAvx2;
    withStages(l, StageLevel::Avx2);
    l.encoder = avx2EncoderKernels();
  }
#endif
#if KELVO4_ARM
  if (flags & kCpuNeon) {
    Level& l = add(out, "neon");
    l.idct = {{"idct_neon", idctNeon}};
    l.fdct = {{"fdct_neon", fdctNeon}};
    withStages(l, StageLevel::Neon);
    l.prepareBlock = prepareBlockNeon;
  }
#endif
  // The exported entry points, whichever kernels they chose at load.
  Level& e = add(out, "exported");
  e.idct = {{"Vrel_IDct16_MMX", Vrel_IDct16_MMX}};
  e.fdct = {{"Vrel_Dct16_MMX", Vrel_Dct16_MMX}, {"fdct_clear", exportedKernels().fdctClear}};
  (void)flags;
  return out;
}

}  // namespace checkasm
