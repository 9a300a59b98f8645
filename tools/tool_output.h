// Where kelvo-clip and kelvo-decode write their pictures.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tools/picture/image.h"
#include "tools/writer/output_file.h"
#include "tools/platform/tool_platform.h"
#include "src/stream/stream_format.h"
#include "tools/picture/y4m.h"
#include "tools/tool_args.h"

namespace kelvo4 {

// The printf number (%d, %5d, %05d) in a picture name, if there is one; a
// '%' that starts anything else but "%%" is a usage error.
struct Pattern {
  std::string before, after;
  int width = 0;
  bool zeros = false, numbered = false;

  Pattern() = default;
  explicit Pattern(const std::string& name) {
    std::string* part = &before;
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (name[i] != '%') {
        part->push_back(name[i]);
        continue;
      }
      std::size_t j = i + 1;
      if (j < name.size() && name[j] == '%') {
        part->push_back('%');
        i = j;
        continue;
      }
      const bool zero = j < name.size() && name[j] == '0';
      j += zero;
      // A width of one or two digits.
      int value = 0;
      for (int digits = 0; j < name.size() && name[j] >= '0' && name[j] <= '9' && digits < 2; ++j, ++digits)
        value = value * 10 + (name[j] - '0');
      if (j == name.size() || name[j] != 'd' || numbered)
        throw UsageError(name + ": a picture name may hold one %d, %0Nd or %Nd (and %% for a '%')");
      numbered = true;
      zeros = zero;
      width = value;
      part = &after;
      i = j;
    }
  }
  std::string name(long index) const {
    if (!numbered) return before;
    std::string number = std::to_string(index);
    if (static_cast<int>(number.size()) < width) number.insert(0, width - number.size(), zeros ? '0' : ' ');
    return before + number + after;
  }
};

// A sequence of pictures written as raw rgb24 or a YUV4MPEG2 stream to one
// file ("-": standard output), as frame_000000.png, ... (or .ppm) in a
// folder, or as pictures named by a Pattern (without a number, one picture).
// Nothing is left half-written: one file takes its name once closed, and
// every picture is written whole. A picture that replaces an old one takes
// its name only when the output is closed. Unless closed, the output removes
// what it created (pictures and folders) and leaves old pictures as they
// were, or with keepPartial keeps the frames written until then; an
// interrupt removes all it wrote.
class FrameOutput {
 public:
  enum Kind { kRaw, kY4m, kFolder, kPictures };

  FrameOutput(const std::string& name, Kind kind, bool png, bool keepPartial = false)
      : name_(name), pattern_(kind == kPictures ? Pattern(name) : Pattern()), kind_(kind), png_(png),
        keep_(keepPartial) {}
  ~FrameOutput() {
    try {
      if (keep_) close();
    } catch (const std::exception&) {
    }
    y4m_.reset();
    raw_.reset();
    for (const OutputFile::Finished& f : replacing_) OutputFile::drop(f);
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
      it->second ? os::removeDirectory(it->first) : os::removeFile(it->first);
      forgetOnInterrupt(it->first);
    }
  }

  bool numbered() const { return pattern_.numbered; }

  // No file written is ever `input` (the photograph a clip is cut from);
  // called before open.
  void protect(const std::string& input, const std::string& what = "an input") { inputs_.emplace_back(input, what); }

  // Creates the file or the folder: a YUV4MPEG2 stream takes the picture
  // size and frame rate from info. No file written is ever `stream`, the
  // stream being decoded.
  void open(const StreamInfo& info = {}, const std::string& stream = "") {
    if (!stream.empty()) protect(stream, "the stream being decoded");
    if (kind_ == kFolder) return makeDirectory(name_);
    if (kind_ == kPictures) return;
    refuse(name_);
    if (kind_ == kY4m)
      y4m_ = std::make_unique<Y4mWriter>(name_, info.width, info.height, info.rateNum, info.rateDen);
    else
      raw_ = std::make_unique<OutputFile>(name_);
    if (raw_) raw_->unbuffered();
  }

  // Writes picture `index` of the sequence (which names it in a folder or
  // pattern).
  void write(const Image& image, long index) {
    if (kind_ == kRaw) return raw_->write(image.rgb.data(), image.rgb.size());
    if (kind_ == kY4m) return y4m_->writeFrame(image);
    std::string file = pattern_.name(index);
    if (kind_ == kFolder) {
      char name[40];
      std::snprintf(name, sizeof name, "frame_%06ld.%s", index, png_ ? "png" : "ppm");
      file = os::textOf(os::pathOf(name_) / name);
    }
    refuse(file);
    const std::string parent = os::textOf(os::pathOf(file).parent_path());
    if (kind_ == kPictures && !parent.empty() && parent != lastParent_) makeDirectory(lastParent_ = parent);
    // One picture of many never goes into a pipe or device found at its name.
    OutputFile out(file, kind_ == kFolder || pattern_.numbered);
    png_ ? writePng(out, image) : writePpm(out, image);
    // A picture that was there before is replaced only when all are written.
    OutputFile::Finished done = out.finish();
    if (done.existed)
      replacing_.push_back(std::move(done));
    else if (OutputFile::place(done, true))
      created_.emplace_back(file, false);
  }

  // Flushes, syncs and closes, reporting a failed write; what was written
  // stays.
  void close() {
    if (y4m_) y4m_->close();
    if (raw_) raw_->commit();
    y4m_.reset();
    raw_.reset();
    const std::vector<OutputFile::Finished> replacing = std::move(replacing_);
    replacing_.clear();
    for (std::size_t i = 0; i < replacing.size(); ++i) {
      try {
        OutputFile::place(replacing[i]);
      } catch (const OutputError&) {
        for (std::size_t j = i + 1; j < replacing.size(); ++j) OutputFile::drop(replacing[j]);
        throw;
      }
    }
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) forgetOnInterrupt(it->first);
    created_.clear();
  }

 private:
  std::string name_, lastParent_;
  std::vector<std::pair<std::string, std::string>> inputs_;  // and what each is, for the message
  Pattern pattern_;
  Kind kind_;
  bool png_, keep_;
  std::unique_ptr<OutputFile> raw_;
  std::unique_ptr<Y4mWriter> y4m_;
  std::vector<std::pair<std::string, bool>> created_;  // and whether a folder, oldest first
  std::vector<OutputFile::Finished> replacing_;  // pictures written over old ones, not yet in place

  void refuse(const std::string& file) const {
    for (const auto& [input, what] : inputs_)
      if (writesOver(file, input)) throw std::runtime_error(file + ": is " + what + "; not overwriting it");
  }

  // Creates an output folder and its parents where needed, remembering those
  // it made.
  void makeDirectory(const std::string& dir) {
    std::filesystem::path path;
    for (const auto& part : os::pathOf(dir)) {
      path /= part;
      const std::string name = os::textOf(path);
      InterruptsHeld held;
      if (os::makeDirectory(name)) {
        removeOnInterrupt(name, true);
        created_.emplace_back(name, true);
      } else if (const int error = errno; os::fileInfo(name).kind != os::Kind::Directory) {
        // A file, pipe or device of that name is left as it is.
        throw std::runtime_error(name + (error == EEXIST ? ": is not a folder, which pictures are written into"
                                                         : ": cannot create directory: " + std::string(std::strerror(error))));
      }
    }
  }
};

}  // namespace kelvo4
