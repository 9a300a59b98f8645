// JNI glue for org.kelvo.Kelvo4.Decoder.KelvoStreamReader: the zstd frame of a
// compressed payload is checked and decompressed into a Java array. Nothing
// here throws; the Java class turns the result into an IOException that names
// the file, the frame and the offset.
#include <jni.h>
#include <zstd.h>

#include "org_kelvo_Kelvo4_Decoder_KelvoStreamReader.h"

namespace {

enum : jint { kBadArguments = -1, kNotAFrame = -2, kWrongSize = -3, kTrailingBytes = -4, kCorrupt = -5 };

// Everything that can be told from the bytes before decompressing: exactly one
// frame, and a content size that it states and that equals the payload's.
jint checkFrame(const void* src, jint srcLength, jint dstLength) {
  const unsigned long long content = ZSTD_getFrameContentSize(src, srcLength);
  if (content == ZSTD_CONTENTSIZE_ERROR) return kNotAFrame;
  if (content == ZSTD_CONTENTSIZE_UNKNOWN || content != static_cast<unsigned long long>(dstLength)) return kWrongSize;
  const size_t frame = ZSTD_findFrameCompressedSize(src, srcLength);
  if (ZSTD_isError(frame)) return kCorrupt;
  return frame == static_cast<size_t>(srcLength) ? 0 : kTrailingBytes;
}

}  // namespace

JNIEXPORT jint JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_decompress(JNIEnv* env, jclass, jbyteArray src,
                                                                                  jint srcLength, jbyteArray dst,
                                                                                  jint dstLength) {
  if (src == nullptr || srcLength < 0 || dstLength < 0 || srcLength > env->GetArrayLength(src)) return kBadArguments;
  if (dst != nullptr && env->GetArrayLength(dst) != dstLength) return kBadArguments;

  // Inside the critical regions only the second pin and zstd on plain pointers.
  void* in = env->GetPrimitiveArrayCritical(src, nullptr);
  if (in == nullptr) return kBadArguments;
  jint rc = checkFrame(in, srcLength, dstLength);
  if (rc == 0 && dst != nullptr) {
    void* out = env->GetPrimitiveArrayCritical(dst, nullptr);
    if (out == nullptr) {
      rc = kBadArguments;
    } else {
      const size_t written = ZSTD_decompress(out, dstLength, in, srcLength);
      if (ZSTD_isError(written) || written != static_cast<size_t>(dstLength)) rc = kCorrupt;
      env->ReleasePrimitiveArrayCritical(dst, out, 0);
    }
  }
  env->ReleasePrimitiveArrayCritical(src, in, JNI_ABORT);
  return rc;
}
