// kelvo4_checkasm [--seed N] [--blocks N] [--bench] [--list] [FILTER...]
// Runs every check whose name contains one of the filters (all without),
// at every level this processor has. KELVO4_DCT_SEED and KELVO4_DCT_BLOCKS
// give the defaults of --seed and --blocks.
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/checkasm/checkasm.h"

namespace checkasm {
std::vector<Check>& registry() {
  static std::vector<Check> checks;
  return checks;
}
}  // namespace checkasm

namespace {

#ifdef KELVO4_SANITIZE_BUILD
constexpr long kDefaultBlocks = 20'000;
#else
constexpr long kDefaultBlocks = 2'000'000;
#endif

unsigned long long envOr(const char* name, unsigned long long fallback) {
  const char* e = std::getenv(name);
  return e ? std::strtoull(e, nullptr, 0) : fallback;
}

int usage() {
  std::fprintf(stderr, "usage: kelvo4_checkasm [--seed N] [--blocks N] [--bench] [--list] [FILTER...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace checkasm;
  Context c;
  c.seed = envOr("KELVO4_DCT_SEED", 0x4B656C766F34);
  c.blocks = static_cast<long>(envOr("KELVO4_DCT_BLOCKS", kDefaultBlocks));
  bool list = false;
  std::vector<std::string> filters;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--seed" || a == "--blocks") && i + 1 < argc) {
      const unsigned long long v = std::strtoull(argv[++i], nullptr, 0);
      if (a == "--seed")
        c.seed = v;
      else
        c.blocks = static_cast<long>(v);
    } else if (a == "--bench") {
      c.bench = true;
    } else if (a == "--list") {
      list = true;
    } else if (a.starts_with("-")) {
      return usage();
    } else {
      filters.push_back(a);
    }
  }
  const std::vector<Level> all = levels();
  std::string names;
  for (const Level& l : all) names += std::string(" ") + l.name;
  if (!list)
    std::printf("levels:%s; seed %llu, %ld blocks\n", names.c_str(), static_cast<unsigned long long>(c.seed), c.blocks);
  int run = 0;
  for (const Check& check : registry()) {
    bool wanted = filters.empty();
    for (const std::string& f : filters) wanted |= std::strstr(check.name, f.c_str()) != nullptr;
    if (!wanted) continue;
    ++run;
    if (list) {
      std::printf("%s\n", check.name);
      continue;
    }
    c.check = check.name;
    c.seen.clear();
    const int before = c.failures;
    for (const Level& l : all) {
      if (&l == &all[0]) continue;
      c.level = &l;
      check.run(c, all[0], l);
    }
    if (c.failures == before) std::printf("ok   %s\n", check.name);
  }
  if (run == 0) {
    std::fprintf(stderr, "no check matches\n");
    return 2;
  }
  return c.failures ? 1 : 0;
}
