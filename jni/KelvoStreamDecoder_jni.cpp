// JNI glue for org.kelvo.Kelvo4.Decoder.KelvoStreamDecoder: the handle travels
// as a jlong, arrays and direct buffers become pointer and length for the
// kelvo4_decoder functions. Nothing here throws: every method returns 0 or a
// negative errno value, and the Java class, which has checked the arguments
// already, turns it into an exception. The checks are repeated here so that
// no argument can make the library read or write outside a buffer.
#include <jni.h>

#include <cerrno>
#include <cstdint>

#include "kelvo4/decoder.h"
#include "org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder.h"

namespace {

static_assert(sizeof(kelvo4_decoder*) <= sizeof(jlong));

kelvo4_decoder* fromHandle(jlong handle) {
  return reinterpret_cast<kelvo4_decoder*>(static_cast<std::uintptr_t>(handle));
}

// n = width * height; the decoder keeps 3 * n below 2^31.
int pixelCount(const kelvo4_decoder* d) { return kelvo4_decoder_width(d) * kelvo4_decoder_height(d); }

// The bytes [at, at + length) of a direct buffer, or null when the buffer is
// null, not direct, or does not hold them.
signed char* directBytes(JNIEnv* env, jobject buffer, jint at, jint length) {
  if (buffer == nullptr || at < 0 || length < 0) return nullptr;
  auto* base = static_cast<signed char*>(env->GetDirectBufferAddress(buffer));
  if (base == nullptr || jlong{at} + length > env->GetDirectBufferCapacity(buffer)) return nullptr;
  return base + at;
}

bool overlap(const void* a, jint aLength, const void* b, jint bLength) {
  const auto x = reinterpret_cast<std::uintptr_t>(a), y = reinterpret_cast<std::uintptr_t>(b);
  return x < y + bLength && y < x + aLength;
}

// Decodes into the top-left w x h pixels, in format KELVO4_RGB24 (a byte
// array) or KELVO4_ARGB32 (an int array).
jint decodeRegion(JNIEnv* env, jlong handle, jbyteArray payload, jarray output, kelvo4_format format, jint w,
                  jint h) {
  kelvo4_decoder* d = fromHandle(handle);
  if (d == nullptr || payload == nullptr || output == nullptr) return -EINVAL;
  if (w < 0 || h < 0 || w > kelvo4_decoder_width(d) || h > kelvo4_decoder_height(d)) return -EINVAL;
  const int payloadLength = static_cast<int>(kelvo4_decoder_payload_length(d));
  const int outputLength = (format == KELVO4_RGB24 ? 3 : 1) * w * h;
  if (env->GetArrayLength(payload) != payloadLength || env->GetArrayLength(output) != outputLength) return -EINVAL;

  auto* in = static_cast<signed char*>(env->GetPrimitiveArrayCritical(payload, nullptr));
  if (in == nullptr) return -ENOMEM;
  void* out = env->GetPrimitiveArrayCritical(output, nullptr);
  if (out == nullptr) {
    env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
    return -ENOMEM;
  }
  const std::size_t bytes = static_cast<std::size_t>(outputLength) * (format == KELVO4_RGB24 ? 1 : 4);
  const int rc = kelvo4_decoder_decode_region(d, in, payloadLength, out, format, w, h, bytes);
  env->ReleasePrimitiveArrayCritical(output, out, 0);
  env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
  return rc;
}

}  // namespace

// A handle is the decoder's address, never negative as a jlong in a Linux
// process, so a failure is returned as its negated errno value.
JNIEXPORT jlong JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_open(JNIEnv*, jclass, jint w, jint h,
                                                                              jint threads) {
  kelvo4_decoder* d = nullptr;
  const int rc = kelvo4_decoder_open(&d, w, h, threads);
  if (rc < 0) return rc;
  return static_cast<jlong>(reinterpret_cast<std::uintptr_t>(d));
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_close(JNIEnv*, jclass, jlong handle) {
  kelvo4_decoder* d = fromHandle(handle);
  kelvo4_decoder_close(&d);
}

JNIEXPORT jint JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_reinit(JNIEnv*, jclass, jlong handle, jint w,
                                                                               jint h) {
  return kelvo4_decoder_reinit(fromHandle(handle), w, h);
}

JNIEXPORT jint JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_payloadLength(JNIEnv*, jclass,
                                                                                      jlong handle) {
  return static_cast<jint>(kelvo4_decoder_payload_length(fromHandle(handle)));
}

JNIEXPORT jint JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_setTable(JNIEnv* env, jclass, jlong handle,
                                                                                 jfloatArray table) {
  if (handle == 0 || table == nullptr || env->GetArrayLength(table) != 64) return -EINVAL;
  jfloat values[64];
  env->GetFloatArrayRegion(table, 0, 64, values);
  return kelvo4_decoder_set_table(fromHandle(handle), values, 64);
}

JNIEXPORT jint JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decode(JNIEnv* env, jclass, jlong handle,
                                                                               jbyteArray payload, jbyteArray output,
                                                                               jboolean convertFlag) {
  kelvo4_decoder* d = fromHandle(handle);
  const bool convert = convertFlag != JNI_FALSE;
  if (d == nullptr || payload == nullptr || (convert && output == nullptr)) return -EINVAL;
  const int payloadLength = static_cast<int>(kelvo4_decoder_payload_length(d));
  const int outputLength = convert ? 3 * pixelCount(d) : 0;
  if (env->GetArrayLength(payload) != payloadLength) return -EINVAL;
  if (convert && env->GetArrayLength(output) != outputLength) return -EINVAL;

  // Inside the critical regions only the second pin and the decode on plain
  // pointers. A failed pin leaves the VM's OutOfMemoryError pending.
  auto* in = static_cast<signed char*>(env->GetPrimitiveArrayCritical(payload, nullptr));
  if (in == nullptr) return -ENOMEM;
  signed char* out = nullptr;
  if (convert) {
    out = static_cast<signed char*>(env->GetPrimitiveArrayCritical(output, nullptr));
    if (out == nullptr) {
      env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
      return -ENOMEM;
    }
  }
  const int rc = kelvo4_decoder_decode(d, in, payloadLength, out, outputLength, convert);
  if (convert) env->ReleasePrimitiveArrayCritical(output, out, 0);
  env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
  return rc;
}

JNIEXPORT jint JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeDirect(
    JNIEnv* env, jclass, jlong handle, jobject payload, jint payloadPosition, jint payloadLength, jobject output,
    jint outputPosition, jint outputLength, jboolean convertFlag) {
  kelvo4_decoder* d = fromHandle(handle);
  const bool convert = convertFlag != JNI_FALSE;
  const signed char* in = directBytes(env, payload, payloadPosition, payloadLength);
  signed char* out = convert ? directBytes(env, output, outputPosition, outputLength) : nullptr;
  if (d == nullptr || in == nullptr || (convert && out == nullptr)) return -EINVAL;
  // The decoder writes the output while it still reads the payload.
  if (convert && overlap(in, payloadLength, out, outputLength)) return -EINVAL;
  // Checks the lengths against the size itself.
  return kelvo4_decoder_decode(d, in, payloadLength, out, convert ? outputLength : 0, convert);
}

JNIEXPORT jint JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeArgb(JNIEnv* env, jclass, jlong handle,
                                                                                   jbyteArray payload, jintArray argb) {
  kelvo4_decoder* d = fromHandle(handle);
  if (d == nullptr || payload == nullptr || argb == nullptr) return -EINVAL;
  const int n = pixelCount(d), payloadLength = static_cast<int>(kelvo4_decoder_payload_length(d));
  if (env->GetArrayLength(payload) != payloadLength || env->GetArrayLength(argb) != n) return -EINVAL;

  auto* in = static_cast<signed char*>(env->GetPrimitiveArrayCritical(payload, nullptr));
  if (in == nullptr) return -ENOMEM;
  auto* pixels = static_cast<std::uint32_t*>(env->GetPrimitiveArrayCritical(argb, nullptr));
  if (pixels == nullptr) {
    env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
    return -ENOMEM;
  }
  const int rc = kelvo4_decoder_decode_argb(d, in, payloadLength, pixels, 4 * static_cast<std::size_t>(n));
  env->ReleasePrimitiveArrayCritical(argb, pixels, 0);
  env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
  return rc;
}

JNIEXPORT jint JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeRegion(JNIEnv* env, jclass, jlong handle,
                                                                                     jbyteArray payload,
                                                                                     jbyteArray rgb, jint w, jint h) {
  return decodeRegion(env, handle, payload, rgb, KELVO4_RGB24, w, h);
}

JNIEXPORT jint JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeRegionArgb(JNIEnv* env, jclass,
                                                                                         jlong handle,
                                                                                         jbyteArray payload,
                                                                                         jintArray argb, jint w,
                                                                                         jint h) {
  return decodeRegion(env, handle, payload, argb, KELVO4_ARGB32, w, h);
}
