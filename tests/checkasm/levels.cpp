// The functions of each level: the one file that names instruction sets and
// asks which of them this processor has (with the CPU mask applied).
#include <algorithm>

#include "src/dct/dct.h"
#include "src/cpu/cpu.h"
#if KELVO4_X86
#include "src/x86/x86.h"
#endif
#if KELVO4_ARM
#include "src/arm/neon.h"
#endif
#include "tests/checkasm/checkasm.h"

namespace checkasm {

using namespace kelvo4;

namespace {

// The tables of the level these flags name: the decoder's stages, the
// encoder's helpers and the YUV4MPEG2 rows (the checks skip what a lower
// level already had).
Level& add(std::vector<Level>& levels, const char* name, unsigned flags) {
  Level& l = levels.emplace_back();
  l.name = name;
  const Stages st = stagesFor(flags);
  l.smoothRows = st.smoothRows;
  l.convert = st.convert;
  l.convertArgb = st.convertArgb;
  l.addBand = st.addBand;
  l.encoder = &encoderKernelsFor(flags);
  l.yuvRow = yuvRowFor(flags);
  return l;
}

Level* level(std::vector<Level>& levels, const char* name) {
  for (Level& l : levels)
    if (std::string(l.name) == name) return &l;
  return nullptr;
}

}  // namespace

void clearState() {
#if KELVO4_X86
  if (cpuFlags() & kCpuMmx) clearMmxState();
#endif
}

std::vector<Level> levels() {
  std::vector<Level> out;
  for (const CpuLevel& cpu : kCpuLevels)
    if (cpuHas(cpu.flags)) add(out, cpu.flags == 0 ? "c" : cpu.name, cpu.flags);
  // The transforms in each of their forms, by the kernels' own names.
  Level& c = out.front();
  c.idct = {{"idct", idctC}};
  c.fdct = {{"fdct", fdctC}};
  c.idctRows = [](short* b, unsigned) { idctC(b); };
  c.idctPair = [](short* a, short* b) { idctC(a), idctC(b); };
  c.fdctTo = [](const short* in, short* o) { std::copy(in, in + 64, o), fdctC(o); };
  c.prepareBlock = prepareBlock;
#if KELVO4_X86
  if (Level* l = level(out, "mmx")) {
    l->idct = {{"idct_mmx", idctMmx}, {"idct_mmx_clear", idctMmxClear}};
    l->fdct = {{"fdct_mmx", fdctMmx}, {"fdct_mmx_clear", fdctMmxClear}};
    l->idctRows = idctRowsMmx;
  }
  if (Level* l = level(out, "sse")) {
    l->idct = {{"idct_sse", idctSse}};
    l->fdct = {{"fdct_sse", fdctSse}};
    l->idctRows = idctRowsSse;
  }
  if (Level* l = level(out, "sse2")) {
    l->idct = {{"idct_sse2", idctSse2}};
    l->fdct = {{"fdct_sse2", static_cast<BlockFn>(fdctSse2)}};
    l->fdctTo = fdctSse2;
    l->idctRows = idctRowsSse2;
    l->prepareBlock = prepareBlockSse2;
  }
  if (Level* l = level(out, "ssse3")) l->prepareBlock = prepareBlockSsse3;
  if (Level* l = level(out, "avx2")) l->idctPair = idctPairAvx2;
#endif
#if KELVO4_ARM
  if (Level* l = level(out, "neon")) {
    l->idct = {{"idct_neon", idctNeon}};
    l->fdct = {{"fdct_neon", fdctNeon}};
    l->prepareBlock = prepareBlockNeon;
  }
#endif
  // The exported entry points, whichever kernels they chose at load.
  Level& e = out.emplace_back();
  e.name = "exported";
  e.idct = {{"Vrel_IDct16_MMX", Vrel_IDct16_MMX}};
  e.fdct = {{"Vrel_Dct16_MMX", Vrel_Dct16_MMX}, {"fdct_clear", exportedKernels().fdctClear}};
  return out;
}

}  // namespace checkasm
