// The vector-kernel checker: every function of every level this processor
// runs (the CPU mask applied) against the scalar function of the same slot,
// on random, extreme and sparse inputs, reporting the first input that
// differs; with --bench, each one's time against the scalar one's.
// Only levels.cpp knows which functions make up a level; the checks see
// levels and their slots.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "src/decoder/stages.h"
#include "tests/checkasm/blocks.h"
#include "tools/encoder/kernels.h"
#include "tools/picture/yuv_rows.h"

namespace checkasm {

using BlockFn = void (*)(short* block);
template <class Fn>
struct Named {
  const char* name;
  Fn fn;
};

// The functions of one level; a slot the level has no function of its own
// for is null (or empty).
struct Level {
  const char* name = "";
  std::vector<Named<BlockFn>> idct, fdct;  // in place, state cleared after
  kelvo4::IdctRowsFn idctRows = nullptr;
  void (*idctPair)(short* a, short* b) = nullptr;
  void (*fdctTo)(const short* in, short* out) = nullptr;
  kelvo4::SmoothRowsFn smoothRows = nullptr;
  kelvo4::ConvertFn convert = nullptr;
  kelvo4::ConvertArgbFn convertArgb = nullptr;
  kelvo4::AddBandFn addBand = nullptr;
  kelvo4::PrepareBlockFn prepareBlock = nullptr;
  const kelvo4::EncoderKernels* encoder = nullptr;
  kelvo4::YuvRowFn yuvRow = nullptr;  // the encoder's YUV4MPEG2 input
};

// The scalar level first, then every other level this processor runs.
std::vector<Level> levels();
// Clears any processor state a kernel may leave behind (a no-op where none).
void clearState();

inline short anyShort(Rng& rng) { return static_cast<short>(draw(rng, -32768, 32767)); }

// What a check runs with, and where it reports.
class Context {
 public:
  std::uint64_t seed = 0;
  long blocks = 0;  // random inputs per function (a check may scale it)
  bool bench = false;
  const Level* level = nullptr;
  const char* check = "";
  int failures = 0;
  std::vector<const void*> seen;  // functions this check has run

  // Whether fn is a function of the level's own, not yet checked: not null,
  // not the scalar one, not shared with a level before.
  template <class Fn>
  bool fresh(Fn fn, Fn scalar) {
    const void* p = reinterpret_cast<const void*>(fn);
    if (!fn || fn == scalar || std::find(seen.begin(), seen.end(), p) != seen.end()) return false;
    seen.push_back(p);
    return true;
  }

  // Reports a mismatch (what names the function and shows the input); the
  // check returns after its first one.
  void fail(const std::string& what) {
    ++failures;
    std::printf("FAIL %s, level %s, seed %llu: %s\n", check, level->name, static_cast<unsigned long long>(seed),
                what.c_str());
  }
  // With --bench, the time per call of the level's form and the scalar's.
  template <class F, class G>
  void time(const char* name, F vector, G scalar) {
    if (!bench) return;
    const double v = perCall(vector), s = perCall(scalar);
    std::printf("  %-22s %-8s %10.1f ns %10.1f ns (c) %7.2fx\n", name, level->name, v, s, s / v);
  }

 private:
  template <class F>
  static double perCall(F f) {
    using Clock = std::chrono::steady_clock;
    long calls = 0, batch = 64;
    const auto start = Clock::now();
    std::chrono::duration<double, std::nano> spent{};
    while (spent.count() < 5e7) {
      for (long i = 0; i < batch; ++i) f(calls + i);
      clearState();
      calls += batch;
      batch *= 2;
      spent = Clock::now() - start;
    }
    return spent.count() / static_cast<double>(calls);
  }
};

// 64 values as eight rows, for failure messages.
template <class T>
std::string show(const T* v, int count = 64) {
  std::string s;
  for (int i = 0; i < count; i++) s += (i % 8 ? ", " : "\n  ") + std::to_string(v[i]);
  return s + "\n";
}

// A check of one slot: runs the level's function against the scalar one.
struct Check {
  const char* name;  // group/function
  void (*run)(Context& c, const Level& scalar, const Level& level);
};
std::vector<Check>& registry();
struct Register {
  Register(const char* name, void (*run)(Context&, const Level&, const Level&)) { registry().push_back({name, run}); }
};

}  // namespace checkasm
