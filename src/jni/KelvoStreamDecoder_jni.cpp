// JNI glue for org.kelvo.Kelvo4.Decoder.KelvoStreamDecoder: the handle travels
// as a jlong, arrays and direct buffers become pointer and length for the
// kelvo4_decoder functions. A failure throws the exception the Java class
// documents, which has checked the arguments already; the checks are repeated
// here so that no argument can make the library read or write outside a
// buffer.
#include <jni.h>

#include <cstdint>
#include <string>

#include "src/stage/format.h"
#include "src/jni/jni_support.h"
#include "kelvo4/decoder.h"
#include "org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder.h"

namespace {

using kelvo4::jni::guarded;

// Throws for the library's result rc, unless it is 0, the exception for it,
// its message naming the Java method called.
void check(JNIEnv* env, int rc, const char* call) {
  if (rc == 0) return;
  const char* what = rc == KELVO4_ERROR_MEMORY     ? ": cannot allocate the frames"
                     : rc == KELVO4_ERROR_THREAD   ? ": cannot start a decoder thread"
                     : rc == KELVO4_ERROR_ARGUMENT ? ": arguments refused"
                                                   : nullptr;
  const std::string message = call + (what != nullptr ? std::string(what) : ": error " + std::to_string(rc));
  kelvo4::jni::throwError(env, rc, message.c_str(), {{KELVO4_ERROR_THREAD, "java/lang/OutOfMemoryError"}},
                          "java/lang/IllegalStateException");
}

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
  if (d == nullptr || payload == nullptr || output == nullptr) return KELVO4_ERROR_ARGUMENT;
  if (w < 0 || h < 0 || w > kelvo4_decoder_width(d) || h > kelvo4_decoder_height(d)) return KELVO4_ERROR_ARGUMENT;
  const int payloadLength = static_cast<int>(kelvo4_decoder_payload_length(d));
  const int outputLength = (format == KELVO4_RGB24 ? 3 : 1) * w * h;
  if (env->GetArrayLength(payload) != payloadLength || env->GetArrayLength(output) != outputLength)
    return KELVO4_ERROR_ARGUMENT;

  auto* in = static_cast<signed char*>(env->GetPrimitiveArrayCritical(payload, nullptr));
  // A failed pin leaves the VM's OutOfMemoryError pending.
  if (in == nullptr) return KELVO4_ERROR_MEMORY;
  void* out = env->GetPrimitiveArrayCritical(output, nullptr);
  if (out == nullptr) {
    env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
    return KELVO4_ERROR_MEMORY;
  }
  const std::size_t bytes = static_cast<std::size_t>(outputLength) * (format == KELVO4_RGB24 ? 1 : 4);
  const int rc = kelvo4_decoder_decode_region(d, in, payloadLength, out, format, w, h, bytes);
  env->ReleasePrimitiveArrayCritical(output, out, 0);
  env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
  return rc;
}


jint setTable(JNIEnv* env, jlong handle, jfloatArray table) {
  if (handle == 0 || table == nullptr || env->GetArrayLength(table) != 64) return KELVO4_ERROR_ARGUMENT;
  jfloat values[64];
  env->GetFloatArrayRegion(table, 0, 64, values);
  return kelvo4_decoder_set_table(fromHandle(handle), values, 64);
}

jint decode(JNIEnv* env, jlong handle, jbyteArray payload, jbyteArray output, bool convert) {
  kelvo4_decoder* d = fromHandle(handle);
  if (d == nullptr || payload == nullptr || (convert && output == nullptr)) return KELVO4_ERROR_ARGUMENT;
  const int payloadLength = static_cast<int>(kelvo4_decoder_payload_length(d));
  const int outputLength = convert ? 3 * pixelCount(d) : 0;
  if (env->GetArrayLength(payload) != payloadLength) return KELVO4_ERROR_ARGUMENT;
  if (convert && env->GetArrayLength(output) != outputLength) return KELVO4_ERROR_ARGUMENT;

  // Inside the critical regions only the second pin and the decode on plain
  // pointers. A failed pin leaves the VM's OutOfMemoryError pending.
  auto* in = static_cast<signed char*>(env->GetPrimitiveArrayCritical(payload, nullptr));
  if (in == nullptr) return KELVO4_ERROR_MEMORY;
  signed char* out = nullptr;
  if (convert) {
    out = static_cast<signed char*>(env->GetPrimitiveArrayCritical(output, nullptr));
    if (out == nullptr) {
      env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
      return KELVO4_ERROR_MEMORY;
    }
  }
  const int rc = kelvo4_decoder_decode(d, in, payloadLength, out, outputLength, convert);
  if (convert) env->ReleasePrimitiveArrayCritical(output, out, 0);
  env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
  return rc;
}

jint decodeDirect(JNIEnv* env, jlong handle, jobject payload, jint payloadPosition, jint payloadLength,
                  jobject output, jint outputPosition, jint outputLength, bool convert) {
  kelvo4_decoder* d = fromHandle(handle);
  const signed char* in = directBytes(env, payload, payloadPosition, payloadLength);
  signed char* out = convert ? directBytes(env, output, outputPosition, outputLength) : nullptr;
  if (d == nullptr || in == nullptr || (convert && out == nullptr)) return KELVO4_ERROR_ARGUMENT;
  // The decoder writes the output while it still reads the payload.
  if (convert && overlap(in, payloadLength, out, outputLength)) return KELVO4_ERROR_ARGUMENT;
  // Checks the lengths against the size itself.
  return kelvo4_decoder_decode(d, in, payloadLength, out, convert ? outputLength : 0, convert);
}

jint decodeArgb(JNIEnv* env, jlong handle, jbyteArray payload, jintArray argb) {
  kelvo4_decoder* d = fromHandle(handle);
  if (d == nullptr || payload == nullptr || argb == nullptr) return KELVO4_ERROR_ARGUMENT;
  const int n = pixelCount(d), payloadLength = static_cast<int>(kelvo4_decoder_payload_length(d));
  if (env->GetArrayLength(payload) != payloadLength || env->GetArrayLength(argb) != n)
    return KELVO4_ERROR_ARGUMENT;

  auto* in = static_cast<signed char*>(env->GetPrimitiveArrayCritical(payload, nullptr));
  if (in == nullptr) return KELVO4_ERROR_MEMORY;
  auto* pixels = static_cast<std::uint32_t*>(env->GetPrimitiveArrayCritical(argb, nullptr));
  if (pixels == nullptr) {
    env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
    return KELVO4_ERROR_MEMORY;
  }
  const int rc = kelvo4_decoder_decode_argb(d, in, payloadLength, pixels, 4 * static_cast<std::size_t>(n));
  env->ReleasePrimitiveArrayCritical(argb, pixels, 0);
  env->ReleasePrimitiveArrayCritical(payload, in, JNI_ABORT);
  return rc;
}

}  // namespace

// Every entry point runs guarded; a failure throws (check), after which what
// it returns is not looked at.

// 0, with the exception thrown, when the decoder cannot be opened.
JNIEXPORT jlong JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_open(JNIEnv* env, jclass, jint w, jint h,
                                                                              jint threads) {
  return guarded(env, [&]() -> jlong {
    kelvo4_decoder* d = nullptr;
    const int rc = kelvo4_decoder_open(&d, w, h, threads);
    check(env, rc, "open");
    return rc == 0 ? static_cast<jlong>(reinterpret_cast<std::uintptr_t>(d)) : 0;
  });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_close(JNIEnv* env, jclass, jlong handle) {
  guarded(env, [&] {
    kelvo4_decoder* d = fromHandle(handle);
    kelvo4_decoder_close(&d);
  });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_reinit(JNIEnv* env, jclass, jlong handle,
                                                                               jint w, jint h) {
  guarded(env, [&] { check(env, kelvo4_decoder_reinit(fromHandle(handle), w, h), "reinit"); });
}

JNIEXPORT jint JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_payloadLength(JNIEnv* env, jclass,
                                                                                      jlong handle) {
  return guarded(env, [&] { return static_cast<jint>(kelvo4_decoder_payload_length(fromHandle(handle))); });
}

JNIEXPORT jboolean JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_sizeSupported(JNIEnv* env, jclass,
                                                                                         jint w, jint h) {
  return guarded(env, [&] { return kelvo4::sizeSupported(w, h) ? JNI_TRUE : JNI_FALSE; });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_setTable(JNIEnv* env, jclass, jlong handle,
                                                                                 jfloatArray table) {
  guarded(env, [&] { check(env, setTable(env, handle, table), "setQuantizationTable"); });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decode(JNIEnv* env, jclass, jlong handle,
                                                                               jbyteArray payload, jbyteArray output,
                                                                               jboolean convert) {
  guarded(env, [&] { check(env, decode(env, handle, payload, output, convert != JNI_FALSE), "decodeFrame"); });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeDirect(
    JNIEnv* env, jclass, jlong handle, jobject payload, jint payloadPosition, jint payloadLength, jobject output,
    jint outputPosition, jint outputLength, jboolean convert) {
  guarded(env, [&] {
    check(env,
          decodeDirect(env, handle, payload, payloadPosition, payloadLength, output, outputPosition, outputLength,
                       convert != JNI_FALSE),
          "decodeFrame");
  });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeArgb(JNIEnv* env, jclass, jlong handle,
                                                                                   jbyteArray payload,
                                                                                   jintArray argb) {
  guarded(env, [&] { check(env, decodeArgb(env, handle, payload, argb), "decodeFrame"); });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeRegion(JNIEnv* env, jclass,
                                                                                     jlong handle,
                                                                                     jbyteArray payload,
                                                                                     jbyteArray rgb, jint w, jint h) {
  guarded(env, [&] { check(env, decodeRegion(env, handle, payload, rgb, KELVO4_RGB24, w, h), "decodeRegion"); });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_decodeRegionArgb(JNIEnv* env, jclass,
                                                                                         jlong handle,
                                                                                         jbyteArray payload,
                                                                                         jintArray argb, jint w,
                                                                                         jint h) {
  guarded(env, [&] { check(env, decodeRegion(env, handle, payload, argb, KELVO4_ARGB32, w, h), "decodeRegion"); });
}
