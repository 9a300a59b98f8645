// kelvo-encode: codes pictures, YUV4MPEG2 streams or raw rgb24 frames into a
// stream file, closed loop on the decoder library, and reports the mean PSNR
// of the decoded frames (each frame's with --verbose).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "tools/clip/clip_generator.h"
#include "tools/encoder/encoder.h"
#include "tools/picture/input.h"
#include "tools/writer/writer.h"
#include "tools/picture/y4m.h"
#include "tools/tool_args.h"
#include "tools/tool_progress.h"

namespace {

const char kUsage[] =
    "usage: kelvo-encode [options] INPUT... -o STREAM\n"
    "       kelvo-encode [options] --size WxH RAWFILE -o STREAM\n"
    "       kelvo-encode [options] --clip N -o STREAM\n"
    "  INPUT is a PNG, JPEG or PPM picture, a directory of them (taken in natural\n"
    "  order: frame2 before frame10) or a YUV4MPEG2 stream; '-' reads standard\n"
    "  input, a YUV4MPEG2 stream or, with --size, raw rgb24 frames. All pictures\n"
    "  must have the same size. STREAM is NAME.klv, a name without an\n"
    "  extension or '-' for standard output; other names are refused. On a\n"
    "  terminal, a line on standard error shows the progress; the summary goes\n"
    "  there too.\n"
    "  -o, --output F  stream file to write (required; never one of the inputs)\n"
    "  --size WxH      raw rgb24 input of this frame size (or the --clip size)\n"
    "  --clip N        code N frames of the built-in clip (default size 320x240)\n"
    "  --fps N[/D]     frame rate (default: a YUV4MPEG2 input's, 30 for --clip,\n"
    "                  else unknown)\n"
    "  --keyint N      a key frame at most N frames after the one before, 1 to\n"
    "                  1000000 (default 60); where the picture moves or changes\n"
    "                  more than the prediction can follow, sooner\n"
    "  --store         store payloads as they are, uncoded (--level 0, as\n"
    "                  before, says the same; other levels code them)\n"
    "  --quality Q     1 to 100, default 50: higher gives a larger stream of higher\n"
    "                  PSNR (each frame's table still takes the range it needs)\n"
    "  --effort N      refinement passes per block, 0 to 8 (default 3): fewer is\n"
    "                  faster for a little less PSNR\n"
    "  --frames N      stop after N frames\n"
    "  --threads N     threads for the encoder, 1 to 64 (default: the machine's\n"
    "                  cores, {cores} here); with more than one, reading and\n"
    "                  writing overlap the coding. The stream is the same for\n"
    "                  any number\n"
    "  --verbose       each frame's PSNR on standard error, in place of the\n"
    "                  progress line\n"
    "  --quiet         only errors on standard error: no progress, no summary\n"
    "  --max-pixels N  refuse a picture of more than N pixels before reading it\n"
    "                  (default 67108864, 8192x8192; 0: no limit)\n";

// What an input that is none of those the tool reads is told: ffmpeg turns
// it into the BT.601 limited range that YUV4MPEG2 is read as.
const char kNotAnInput[] =
    "neither a PNG, JPEG or binary PPM picture nor a YUV4MPEG2 stream, which is what kelvo-encode reads, besides "
    "raw rgb24 frames with --size WxH; other pictures and video go through ffmpeg: "
    "ffmpeg -i INPUT -vf scale=out_color_matrix=bt601:out_range=tv,format=yuv444p -f yuv4mpegpipe - | kelvo-encode - -o STREAM";

struct Input {
  // kLater: a pipe after the first input, opened and looked at when its
  // turn comes (its writer may feed the inputs one after another).
  enum Kind { kPicture, kY4m, kRaw, kLater } kind;
  std::string name;
  // A pipe, device or standard input stays open once looked at, its first
  // bytes kept in `head`, and is read on from there: its bytes come once. A
  // regular file is opened again by name when its turn comes.
  std::shared_ptr<std::FILE> file;
  std::string head;
};

// Closes what an input opened (not standard input).
void closeInput(std::FILE* f) {
  if (f && f != stdin) std::fclose(f);
}

// Opens an input and reads up to kY4mSignatureBytes of it to tell its kind.
Input lookAt(const std::string& name) {
  std::shared_ptr<std::FILE> file(name == "-" ? stdin : kelvo4::openFile(name, "rb"), closeInput);
  if (!file.get()) throw std::runtime_error(name + ": " + std::strerror(errno));
  std::string head(kelvo4::kY4mSignatureBytes, '\0');
  head.resize(std::fread(head.data(), 1, head.size(), file.get()));
  if (std::ferror(file.get())) throw std::runtime_error(name + ": " + std::strerror(errno));
  if (name != "-" && kelvo4::os::fileInfo(file.get()).kind == kelvo4::os::Kind::Regular) file.reset();
  return {Input::kPicture, name, std::move(file), std::move(head)};
}

// Opens an input and tells its kind from its first bytes: raw rgb24 frames
// with --size (raw), else a YUV4MPEG2 stream or a picture.
Input lookAt(const std::string& name, bool raw) {
  Input in = lookAt(name);
  if (in.head == kelvo4::kY4mSignature)
    in.kind = Input::kY4m;
  else if (raw)
    in.kind = Input::kRaw;
  else if (name == "-")
    throw kelvo4::UsageError("standard input is not a YUV4MPEG2 stream: for raw rgb24 frames give --size WxH");
  else if (!in.head.starts_with("\x89PNG") && !in.head.starts_with("P6") && !in.head.starts_with("\xFF\xD8\xFF"))
    throw std::runtime_error(name + ": " + kNotAnInput);
  return in;
}

// The kind of file an input names: standard input's for "-".
kelvo4::os::Kind kindOf(const std::string& name) {
  return (name == "-" ? kelvo4::os::fileInfo(stdin) : kelvo4::os::fileInfo(name)).kind;
}

// Whether two inputs name the same pipe or device, whose bytes come once.
bool samePipe(const std::string& a, const std::string& b) {
  if (kindOf(a) != kelvo4::os::Kind::Other || kindOf(b) != kelvo4::os::Kind::Other) return false;
  if (a == "-" || b == "-") return a == b || kelvo4::os::sameFile(a == "-" ? b : a, stdin);
  return kelvo4::os::sameFile(a, b);
}

// The frames of the inputs one after another; where() names the picture last
// read (a file, or a stream and its frame) for messages.
class Frames {
 public:
  Frames(std::vector<Input> inputs, int rawWidth, int rawHeight, long long maxPixels)
      : inputs_(std::move(inputs)), rawWidth_(rawWidth), rawHeight_(rawHeight), maxPixels_(maxPixels) {}

  const std::string& where() const { return where_; }
  std::uint32_t rateNum() const { return rateNum_; }
  std::uint32_t rateDen() const { return rateDen_; }

  bool next(kelvo4::Image& image) {
    for (; current_ < inputs_.size(); ++current_, count_ = 0) {
      if (inputs_[current_].kind == Input::kLater) inputs_[current_] = lookAt(inputs_[current_].name, rawWidth_ > 0);
      const Input& in = inputs_[current_];
      if (in.kind == Input::kPicture) {
        where_ = in.name;
        image = in.file ? kelvo4::readImage(in.file.get(), in.name, in.head, maxPixels_)
                        : kelvo4::readImage(in.name, maxPixels_);
        inputs_[current_++].file.reset();
        return delivered();
      }
      where_ = in.name + ": frame " + std::to_string(count_);
      if (in.kind == Input::kY4m) {
        if (!y4m_) {
          y4m_ = in.file ? std::make_unique<kelvo4::Y4mReader>(in.file.get(), in.name, true, maxPixels_)
                         : std::make_unique<kelvo4::Y4mReader>(in.name, maxPixels_);
          if (delivered_ == 0) rateNum_ = y4m_->rateNum(), rateDen_ = y4m_->rateDen();
        }
        if (y4m_->readFrame(image)) return ++count_, delivered();
        y4m_.reset();
        inputs_[current_].file.reset();
      } else if (readRaw(inputs_[current_], image)) {
        return ++count_, delivered();
      }
    }
    return false;
  }

 private:
  std::vector<Input> inputs_;
  int rawWidth_, rawHeight_;
  long long maxPixels_;  // < 0: no limit
  std::size_t current_ = 0;
  long count_ = 0, delivered_ = 0;
  std::string where_;
  std::uint32_t rateNum_ = 0, rateDen_ = 0;
  std::unique_ptr<kelvo4::Y4mReader> y4m_;
  std::shared_ptr<std::FILE> raw_;
  std::string prefix_;  // bytes of raw_ already read to tell its kind

  bool delivered() { return ++delivered_, true; }

  // One frame of raw rgb24; a partial frame at the end is an error.
  bool readRaw(Input& in, kelvo4::Image& image) {
    const std::string& name = in.name;
    if (!raw_) {
      raw_ = std::move(in.file);
      prefix_ = std::move(in.head);
      if (!raw_) {
        raw_.reset(kelvo4::openFile(name, "rb"), closeInput);
        prefix_.clear();
      }
      if (!raw_) throw std::runtime_error(name + ": " + std::strerror(errno));
    }
    // The frame is allocated as its bytes come: --size cannot make it larger than the input.
    const std::size_t need = 3 * static_cast<std::size_t>(rawWidth_) * rawHeight_;
    image.width = rawWidth_;
    image.height = rawHeight_;
    std::size_t got;
    if (prefix_.empty()) {
      got = kelvo4::readBytes(raw_.get(), image.rgb, need);
    } else {
      const std::size_t ahead = std::min(prefix_.size(), need);
      image.rgb.assign(prefix_.begin(), prefix_.begin() + static_cast<std::ptrdiff_t>(ahead));
      prefix_.erase(0, ahead);
      got = ahead + kelvo4::appendBytes(raw_.get(), image.rgb, need - ahead);
    }
    if (got == need) return true;
    if (std::ferror(raw_.get())) throw std::runtime_error(name + ": " + std::strerror(errno));
    if (got == 0) return false;
    throw std::runtime_error(name + ": at byte " + std::to_string(count_ * need) + ": short frame " +
                             std::to_string(count_) + ": " + std::to_string(got) + " of " + std::to_string(need) +
                             " bytes for " + std::to_string(rawWidth_) + "x" + std::to_string(rawHeight_) + " rgb24");
  }
};

void parseRate(const std::string& text, std::uint32_t& num, std::uint32_t& den) {
  const auto slash = text.find('/');
  num = static_cast<std::uint32_t>(kelvo4::parseInt(text.substr(0, slash), "--fps", 1, 1000000));
  den = slash == std::string::npos
            ? 1
            : static_cast<std::uint32_t>(kelvo4::parseInt(text.substr(slash + 1), "--fps denominator", 1, 1000000));
}

int run(int argc, char** argv) {
  using namespace kelvo4;
  int w = 0, h = 0, quality = kDefaultQuality, refine = 3, clip = 0, threads = defaultThreads(), keyint = 60;
  int level = StreamWriter::kDefaultLevel;
  std::uint32_t rateNum = 0, rateDen = 0;
  long maxFrames = -1;
  long long maxPixels = KELVO4_DEFAULT_MAX_PIXELS;
  bool verbose = false, quiet = false;
  std::string output;
  std::vector<std::string> names;
  for (Args args(argc, argv); args.next();) {
    if (args.is("-o", "--output"))
      output = args.value();
    else if (args.is("--size"))
      parseSize(args.value(), w, h);
    else if (args.is("--clip"))
      clip = args.number(1, 1000000);
    else if (args.is("--fps"))
      parseRate(args.value(), rateNum, rateDen);
    else if (args.is("--keyint"))
      keyint = args.number(1, 1000000);
    else if (args.is("--store"))
      level = 0;
    else if (args.is("--level"))  // once zstd's level; the coder has none
      level = args.number(0, 19) ? StreamWriter::kDefaultLevel : 0;
    else if (args.is("--quality"))
      quality = args.number(1, 100);
    else if (args.is("--effort", "--refine"))
      refine = args.number(0, 8);
    else if (args.is("--frames"))
      maxFrames = args.number(1, 1000000000);
    else if (args.is("--threads"))
      threads = args.number(1, 64);
    else if (args.is("--quiet"))
      quiet = true, verbose = false;
    else if (args.is("--verbose"))
      verbose = true, quiet = false;
    else if (args.is("--max-pixels"))
      maxPixels = maxPixelsOption(args);
    else
      names.push_back(args.operand());
  }
  if (output.empty()) throw UsageError("no output stream given (-o)");
  refuseOtherExtension(output, {".klv"}, "kelvo-encode writes a stream (NAME.klv, a name without an extension, or '-')",
                       "out.klv");

  std::vector<Input> inputs;
  std::unique_ptr<Frames> frames;
  long total = clip > 0 ? clip : -1;  // the frames to code, when known
  if (clip > 0) {
    if (!names.empty()) throw UsageError("--clip takes no input files");
    if (w == 0) w = 320, h = 240;
    if (rateDen == 0) rateNum = 30, rateDen = 1;
  } else {
    if (names.empty()) throw UsageError("no input given");
    if (std::count(names.begin(), names.end(), "-") > 1) throw UsageError("standard input ('-') given twice");
    for (std::size_t i = 0; i < names.size(); ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (samePipe(names[i], names[j]))
          throw UsageError((names[i] == "-" ? "standard input" : names[i]) + " is the same pipe as " +
                           (names[j] == "-" ? "standard input" : names[j]) + ": its bytes can be read only once");
    // Every input is looked at before the output is created, but for pipes
    // after the first, which are looked at when their turn comes.
    for (const auto& name : names) {
      const os::Kind kind = kindOf(name);
      if (name != "-" && kind == os::Kind::Directory) {
        const auto found = picturesIn(name);
        if (found.empty()) throw std::runtime_error(name + ": no .png, .ppm or .jpg pictures in this directory");
        for (const auto& picture : found) inputs.push_back({Input::kPicture, picture, {}, {}});
        continue;
      }
      inputs.push_back(!inputs.empty() && kind == os::Kind::Other ? Input{Input::kLater, name, {}, {}}
                                                                  : lookAt(name, w > 0));
    }
    if (w > 0 && (inputs.size() != 1 || inputs[0].kind != Input::kRaw))
      throw UsageError(inputs.size() == 1 && inputs[0].kind == Input::kY4m
                           ? inputs[0].name + " is a YUV4MPEG2 stream, which gives its own size: drop --size"
                           : "--size takes exactly one raw rgb24 input ('-' for standard input)");
    // A file of raw frames is checked against --size before anything is coded.
    if (w > 0 && inputs[0].name != "-") {
      const os::FileInfo file = os::fileInfo(inputs[0].name);
      const std::uint64_t frameBytes = 3ULL * static_cast<unsigned>(w) * static_cast<unsigned>(h);
      if (file.kind == os::Kind::Regular && file.size % frameBytes != 0)
        throw std::runtime_error(inputs[0].name + ": " + std::to_string(file.size) + " bytes are not a whole number of " +
                                 std::to_string(w) + "x" + std::to_string(h) + " rgb24 frames (" +
                                 std::to_string(frameBytes) + " bytes each): is --size right?");
      if (file.kind == os::Kind::Regular) total = static_cast<long>(std::min<std::uint64_t>(file.size / frameBytes, 1000000000));
    }
    if (std::all_of(inputs.begin(), inputs.end(), [](const Input& in) { return in.kind == Input::kPicture; }))
      total = static_cast<long>(inputs.size());
    for (const auto& in : inputs)
      if (writesOver(output, in.name)) throw std::runtime_error(output + ": is also an input; not overwriting it");
    frames = std::make_unique<Frames>(std::move(inputs), w, h, maxPixels);
  }
  if (total >= 0 && maxFrames >= 0) total = std::min(total, maxFrames);

  long count = 0, read = 0;  // frames coded, frames read
  const auto next = [&](Image& image) {
    if (maxFrames >= 0 && read >= maxFrames) return false;
    const bool got = frames ? frames->next(image) : read < clip;
    if (got && !frames) image = clipFrame(w, h, static_cast<int>(read));
    read += got;
    return got;
  };
  const auto where = [&] { return frames ? frames->where() : "clip frame " + std::to_string(read - 1); };

  Image pictures[2];
  if (!next(pictures[0])) throw std::runtime_error(names.empty() ? "no frames" : names[0] + ": no frames");
  w = pictures[0].width;
  h = pictures[0].height;
  if (!validFrameSize(w, h))
    throw std::runtime_error(where() + ": unsupported size " + std::to_string(w) + "x" + std::to_string(h));
  StreamInfo info;
  info.width = w;
  info.height = h;
  if (rateDen == 0 && frames) rateNum = frames->rateNum(), rateDen = frames->rateDen();
  info.rateNum = rateNum;
  info.rateDen = rateDen;
  Encoder encoder(w, h, EncoderSettings{quality, refine, threads});
  encoder.chooseKeyFrames(true);
  // The stream takes its name only once closed: a failure or an interrupt
  // leaves none.
  StreamWriter writer(output, info, level);
  // A coded frame waiting to be written.
  struct Coded {
    std::vector<signed char> payload;
    std::vector<std::uint8_t> marks;  // the blocks the encoder took as differences
    bool key = false, hasTable = false;
    Table table{};
  } coded[2];
  const auto write = [&](const Coded& c) {
    writer.writeFrame(c.payload.data(), c.key, c.hasTable ? c.table.data() : nullptr, c.marks.data());
  };

  // With more than one thread, the frame before is written (its
  // coefficients coded) and the next picture read while the encoder works,
  // in the second of two pictures and payloads; with one, each frame is
  // written before the next is read, into the first (and only) of each.
  const int slots = threads > 1 ? 2 : 1;
  long keys = 0, lastKey = 0;
  double sum = 0, seconds = 0;
  bool more = true;
  Progress progress("kelvo-encode", total, !quiet && !verbose && stderrIsTerminal());
  for (int slot = 0; more; slot = (slot + 1) % slots) {
    const Image& image = pictures[slot];
    if (image.width != w || image.height != h)
      throw std::runtime_error(where() + ": is " + std::to_string(image.width) + "x" + std::to_string(image.height) +
                               ", the stream is " + std::to_string(w) + "x" + std::to_string(h));
    const int other = (slot + 1) % slots;
    const auto side = [&, slot, other, first = count == 0] {
      if (!first && other != slot) write(coded[other]);
      return next(pictures[other]);
    };
    std::future<bool> job;
    if (threads > 1) job = std::async(std::launch::async, side);
    Coded& c = coded[slot];
    // Allocated when first used: a single picture needs one.
    if (c.payload.empty())
      os::growPrefaulted(c.payload, payloadBytes(encoder.codedWidth(), encoder.codedHeight()), true);
    const bool due = count == 0 || count - lastKey >= keyint;
    const auto start = std::chrono::steady_clock::now();
    const double p = encoder.encodeFrame(image.rgb.data(), c.payload.data(), due);
    c.key = encoder.keyFrame();
    if (c.key) lastKey = count;
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    c.hasTable = encoder.tableChanged();
    c.table = encoder.table();
    c.marks = encoder.differenceMarks();
    if (slots == 1) write(c);
    more = threads > 1 ? job.get() : side();
    if (verbose) std::fprintf(stderr, "frame %ld: PSNR %.2f dB%s\n", count, p, c.key ? ", key" : "");
    sum += p;
    keys += c.key;
    ++count;
    progress.frame(count);
    if (!more && slots > 1) write(c);
  }
  progress.clear();
  writer.close();
  if (quiet) return 0;
  // What the file holds once closed; what was written for standard output.
  const std::uintmax_t bytes = output == "-" ? writer.bytes() : os::fileInfo(output).size;
  const auto s = [](long n) { return n == 1 ? "" : "s"; };
  std::fprintf(stderr, "%ld frame%s %dx%d, %ld key frame%s, quality %d, mean PSNR %.2f dB, encoder %.1f frames/s",
               count, s(count), w, h, keys, s(keys), quality, sum / static_cast<double>(count),
               static_cast<double>(count) / seconds);
  if (bytes > 0)
    std::fprintf(stderr, ", %ju bytes (%.1f:1)", static_cast<std::uintmax_t>(bytes),
                 3.0 * w * h * static_cast<double>(count) / static_cast<double>(bytes));
  std::fputc('\n', stderr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  static const std::string usage = kelvo4::withCores(kUsage);
  return kelvo4::runTool("kelvo-encode", usage.c_str(), run, argc, argv);
}
