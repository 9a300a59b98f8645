// JNI glue for org.kelvo.Kelvo4.Decoder.KelvoDecoder: arrays become pointer and
// length for the plain decoder operations. No JNI reference, class or method
// identifier outlives a call.
#include <jni.h>

#include <mutex>

#include "kelvo4/Kelvo4.h"
#include "src/stage/format.h"
#include "src/jni/jni_support.h"
#include "org_kelvo_Kelvo4_Decoder_KelvoDecoder.h"

namespace {

// All decoder state is process-wide, so every native method holds this lock
// for its whole run, from before the first pin until after the last release.
std::mutex decoderLock;

using kelvo4::jni::guarded;
using kelvo4::jni::throwNew;

}  // namespace

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM*, void*) { return kelvo4::jni::kVersion; }

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_reinitDLL(JNIEnv* env, jobject, jint w, jint h) {
  guarded(env, [&] {
    // Checked here first, so that a false result below can only mean that the
    // allocation failed.
    if (!kelvo4::sizeSupported(w, h)) {
      throwNew(env, "java/lang/IllegalArgumentException", "unsupported frame size");
      return;
    }
    bool sized;
    {
      std::lock_guard<std::mutex> lock(decoderLock);
      sized = reinitDLL(w, h);
    }
    if (!sized) throwNew(env, "java/lang/OutOfMemoryError", "cannot allocate the frame buffers");
  });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_setQuantizationTable(JNIEnv* env, jobject,
                                                                                      jfloatArray table) {
  guarded(env, [&] {
    if (table == nullptr || env->GetArrayLength(table) != 64) return;
    std::lock_guard<std::mutex> lock(decoderLock);
    jfloat* values = env->GetFloatArrayElements(table, nullptr);
    if (values == nullptr) return;  // the VM's OutOfMemoryError is pending
    setQuantizationTable(values, 64);
    env->ReleaseFloatArrayElements(table, values, 0);
  });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoDecoder_decodeFrame(JNIEnv* env, jobject,
                                                                             jbyteArray payload, jbyteArray output,
                                                                             jboolean convertFlag) {
  guarded(env, [&] {
    const bool convert = convertFlag != JNI_FALSE;
    // Taken before the lengths are compared with the size, which another thread
    // could otherwise change before the decode.
    std::lock_guard<std::mutex> lock(decoderLock);
    const int n = width * height;  // reinitDLL keeps 3 * n below 2^31
    if (payload == nullptr) return;
    const jsize payloadLength = env->GetArrayLength(payload);
    if (!kelvo4::isPayloadLength(payloadLength, width, height)) return;
    jsize outputLength = 0;
    if (convert) {
      if (output == nullptr) return;
      outputLength = env->GetArrayLength(output);
      if (outputLength != 3 * n) return;
    }

    // Inside the critical regions: only the second pin and the decode on plain
    // pointers, no other JNI call, no allocation, no waiting.
    auto* payloadBytes = static_cast<signed char*>(env->GetPrimitiveArrayCritical(payload, nullptr));
    if (payloadBytes == nullptr) return;
    signed char* outputBytes = nullptr;
    if (convert) {
      outputBytes = static_cast<signed char*>(env->GetPrimitiveArrayCritical(output, nullptr));
      if (outputBytes == nullptr) {
        env->ReleasePrimitiveArrayCritical(payload, payloadBytes, 0);
        return;
      }
    }
    decodeFrame(payloadBytes, payloadLength, outputBytes, outputLength, convert);
    env->ReleasePrimitiveArrayCritical(payload, payloadBytes, 0);
    if (convert) env->ReleasePrimitiveArrayCritical(output, outputBytes, 0);
  });
}
