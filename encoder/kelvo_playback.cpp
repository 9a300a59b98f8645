#include "kelvo_playback.h"

namespace kelvo4 {

StreamPlayback::StreamPlayback(const std::string& path, int threads) : reader_(path), threads_(threads) {}

bool StreamPlayback::next(Image* picture) {
  steady_ = false;  // until the frame is read and decoded
  if (!reader_.readFrame(frame_)) {
    steady_ = true;
    return false;
  }
  const StreamInfo& info = reader_.info();
  if (!decoder_)
    decoder_ = std::make_unique<kelvo4::Decoder>(info.codedWidth, info.codedHeight, threads_);
  else if (frame_.key)
    decoder_->reinit(info.codedWidth, info.codedHeight);
  if (frame_.hasTable) decoder_->setTable(frame_.table);
  const int length = static_cast<int>(frame_.payload.size());
  if (picture == nullptr) {
    decoder_->decode(frame_.payload.data(), length);
  } else {
    if (picture->width != info.width || picture->height != info.height) *picture = Image(info.width, info.height);
    const int rc = kelvo4_decoder_decode_region(decoder_->get(), frame_.payload.data(), length, picture->rgb.data(),
                                                KELVO4_RGB24, info.width, info.height,
                                                static_cast<int>(picture->rgb.size()));
    if (rc != 0) throw StreamError(reader_.path() + ": the decoder refused frame " + std::to_string(position() - 1));
  }
  steady_ = true;
  return true;
}

void StreamPlayback::seek(long frame) {
  const long key = reader_.keyFor(frame).frame;
  if (!steady_ || frame < position() || key > position()) reader_.seekKey(frame);
  while (position() < frame)
    if (!next(nullptr)) throw StreamError(reader_.path() + ": the stream ends before frame " + std::to_string(frame));
}

}  // namespace kelvo4
