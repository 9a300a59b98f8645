// Fuzz target for the stream reader, through the library's C API. The input is
// a stream file followed by kControlBytes that choose what is done with it:
// the thread count of each reader (1 or 2), a read error at some byte, and a
// sequence of next (rgb24, argb32, not written, or with a wrong length) and
// seek calls. The bytes are opened twice, through a read function over memory
// and as a file (which reads its index or walks its records, and seeks), and
// both take the same calls. While both stand at the same frame, a frame both
// decode must be the same, whatever their thread counts; every call must move
// the position as it says, and a refused call must not move it at all.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/fuzz/fuzz_file.h"
#include "kelvo4/stream.h"

namespace {

constexpr std::size_t kControlBytes = 16;
constexpr int kMaxCalls = 12;
// Pictures above 256x256 are refused at open, as a player refuses those above
// its limit, and those whose coded size is above it are skipped: a few bytes
// stand for a whole payload, so the input's size does not bound the work of a
// frame, and at this size a dozen frames on two readers stay within
// milliseconds. Larger sizes take the same paths of the parser.
constexpr long long kMaxPixels = 256 * 256;

struct Memory {
  const std::uint8_t* data;
  std::size_t size, at, failAt;
};

ptrdiff_t readMemory(void* user, void* buffer, std::size_t length) {
  auto& m = *static_cast<Memory*>(user);
  if (m.at >= m.failAt) return -EIO;
  const std::size_t n = std::min(length, m.size - m.at);
  std::memcpy(buffer, m.data + m.at, n);
  m.at += n;
  return static_cast<ptrdiff_t>(n);
}

[[noreturn]] void fail(const char* what, int call) {
  std::fprintf(stderr, "stream readers: %s (call %d)\n", what, call);
  std::abort();
}

struct Reader {
  kelvo4_stream* s = nullptr;
  kelvo4_stream_info info{};
  std::vector<std::uint8_t> out;
  int rc = 0;

  ~Reader() { kelvo4_stream_close(&s); }
  bool open(int opened) {
    kelvo4::fuzz::checkPrintable(kelvo4_stream_error(s));
    if (opened != 0) return false;
    info.size = sizeof info;
    kelvo4_stream_get_info(s, &info);
    if (const char* damage = kelvo4_stream_damage(s)) kelvo4::fuzz::checkPrintable(damage);
    return static_cast<long long>(info.coded_width) * info.coded_height <= kMaxPixels;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t control = std::min(size, kControlBytes), bytes = size - control;
  FuzzedDataProvider fdp(data + bytes, control);
  const int threads[2] = {1 + fdp.ConsumeBool(), 1 + fdp.ConsumeBool()};
  Memory memory{data, bytes, 0,
                fdp.ConsumeIntegralInRange(0, 7) == 7 ? fdp.ConsumeIntegral<std::uint16_t>() : bytes + 1};

  static kelvo4::fuzz::MemoryFile file("stream");
  const std::string& path = file.hold(data, bytes);
  Reader r[2];
  const bool opened =
      r[0].open(kelvo4_stream_open_callback_limited(&r[0].s, readMemory, &memory, "fuzz", threads[0], kMaxPixels));
  if (!r[1].open(kelvo4_stream_open_file_limited(&r[1].s, path.c_str(), threads[1], kMaxPixels)) || !opened)
    return 0;

  for (int call = 0; call < kMaxCalls; ++call) {
    const int op = fdp.ConsumeIntegralInRange(0, 7);
    const std::int64_t target = op == 5 && r[1].info.frame_count >= 0 ? r[1].info.frame_count + fdp.ConsumeBool()
                                                                      : fdp.ConsumeIntegral<std::uint8_t>();
    const bool together = kelvo4_stream_position(r[0].s) == kelvo4_stream_position(r[1].s);
    for (Reader& x : r) {
      const std::int64_t before = kelvo4_stream_position(x.s);
      const std::size_t pixels = static_cast<std::size_t>(x.info.width) * x.info.height;
      if (op >= 4 && op <= 5) {
        x.rc = kelvo4_stream_seek(x.s, target);
        if (x.rc == 0 && kelvo4_stream_position(x.s) != target) fail("seek went elsewhere", call);
      } else {
        const kelvo4_format format = op == 1 ? KELVO4_ARGB32 : KELVO4_RGB24;
        const std::size_t length = op == 2 ? 0 : (format == KELVO4_ARGB32 ? 4 : 3) * pixels - (op == 6);
        x.out.assign(length, 0);
        x.rc = kelvo4_stream_next(x.s, op == 2 ? nullptr : x.out.data(), length, format);
        if (op == 6 && x.rc != -EINVAL) fail("wrong length taken", call);
        if (kelvo4_stream_position(x.s) != before + (x.rc == 1)) fail("next moved wrongly", call);
      }
      if (x.rc == -EINVAL && kelvo4_stream_position(x.s) != before) fail("refused call moved", call);
      kelvo4::fuzz::checkPrintable(kelvo4_stream_error(x.s));
    }
    if (together && r[0].rc == 1 && r[1].rc == 1 && r[0].out != r[1].out)
      fail("a frame differs between the read function and the file", call);
    std::int64_t keys[4];
    kelvo4_stream_key_frames(r[call % 2].s, keys, 4);
  }
  return 0;
}
