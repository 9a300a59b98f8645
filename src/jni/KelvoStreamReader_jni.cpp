// JNI glue for org.kelvo.Kelvo4.Decoder.KelvoStreamReader: a kelvo4_stream
// behind a jlong handle. The library parses the file; this only carries
// bytes, pixels and errors across.
//
// A stream read from an InputStream is read through a read function that calls
// in.read(byte[], int, int) through JNI. The library calls it on the thread of
// a kelvo4_stream call and, with threads > 1, on the stream's worker, which
// reads ahead; that thread is attached to the VM (as a daemon) when it first
// reads and detached when it ends, so no thread the VM does not know calls
// into it. The InputStream and the scratch array are held by global
// references from open to close. What in.read throws is kept, and thrown by
// the native call that reports the failed read, as the InputStream's own.
//
// Failures throw the exception for the library's error, with the library's
// message unchanged. Every entry point runs guarded.
#include <jni.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "kelvo4/stream.h"
#include "org_kelvo_Kelvo4_Decoder_KelvoStreamReader.h"
#include "src/jni/jni_support.h"
#include "src/stream/stream_steps.h"

namespace {

using kelvo4::jni::guarded;
using kelvo4::jni::throwNew;

// What the read function uses, from open to close.
struct Input {
  JavaVM* vm = nullptr;
  jobject in = nullptr;  // global references
  jbyteArray scratch = nullptr;
  jint capacity = 0;
  jmethodID read = nullptr;
  // Global: what in.read threw, until a native call throws it. The worker
  // keeps it while the caller may be failing for another reason.
  std::atomic<jthrowable> thrown{nullptr};
};

struct Reader {
  kelvo4_stream* stream = nullptr;
  Input input;  // the read function's user pointer (InputStream readers)
};

static_assert(sizeof(Reader*) <= sizeof(jlong));

Reader* fromHandle(jlong handle) { return reinterpret_cast<Reader*>(static_cast<std::uintptr_t>(handle)); }

jlong toHandle(Reader* r) { return static_cast<jlong>(reinterpret_cast<std::uintptr_t>(r)); }

// Detaches a thread that the read function attached, when the thread ends.
struct Detacher {
  JavaVM* vm = nullptr;
  ~Detacher() {
    if (vm != nullptr) vm->DetachCurrentThread();
  }
};
thread_local Detacher detacher;

// The calling thread's JNIEnv, attaching the thread when the VM does not
// know it (the stream's worker); null when that fails.
JNIEnv* threadEnv(JavaVM* vm) {
  void* env = nullptr;
  if (vm->GetEnv(&env, kelvo4::jni::kVersion) == JNI_OK) return static_cast<JNIEnv*>(env);
  char name[] = "kelvo4 stream reader";
  JavaVMAttachArgs args{kelvo4::jni::kVersion, name, nullptr};
  if (vm->AttachCurrentThreadAsDaemon(&env, &args) != JNI_OK) return nullptr;
  detacher.vm = vm;
  return static_cast<JNIEnv*>(env);
}

// Keeps the pending exception for the native call that reports the failure.
std::ptrdiff_t keepThrown(JNIEnv* env, Input& input) {
  jthrowable t = env->ExceptionOccurred();
  env->ExceptionClear();
  auto kept = static_cast<jthrowable>(env->NewGlobalRef(t));
  jthrowable none = nullptr;
  if (kept != nullptr && !input.thrown.compare_exchange_strong(none, kept)) env->DeleteGlobalRef(kept);
  env->DeleteLocalRef(t);
  return KELVO4_ERROR_READ;
}

// kelvo4_stream_read_fn over in.read(scratch, 0, n), scratch copied out after
// each call. Fills the buffer unless the InputStream ends. Nothing in it
// throws: the library calls it through a C function pointer.
std::ptrdiff_t readInput(void* user, void* buffer, std::size_t length) noexcept {
  Input& input = *static_cast<Input*>(user);
  JNIEnv* env = threadEnv(input.vm);
  if (env == nullptr) return KELVO4_ERROR_READ;
  auto* out = static_cast<jbyte*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const auto ask = static_cast<jint>(std::min(length - done, static_cast<std::size_t>(input.capacity)));
    const jint got = env->CallIntMethod(input.in, input.read, input.scratch, 0, ask);
    if (env->ExceptionCheck()) return keepThrown(env, input);
    // -1 at the end; 0 (which read may not return for ask > 0) ends it too.
    if (got <= 0) break;
    if (got > ask) {
      // The InputStream's fault, said as such rather than as the bad bytes it would make.
      char message[128];
      std::snprintf(message, sizeof message,
                    "stream: the InputStream's read returned %d bytes where at most %d were asked for",
                    static_cast<int>(got), static_cast<int>(ask));
      throwNew(env, "java/io/IOException", message);
      return keepThrown(env, input);
    }
    env->GetByteArrayRegion(input.scratch, 0, got, out + done);
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::ptrdiff_t>(done);
}


// The exception for the library's result rc < 0, with its message.
void throwError(JNIEnv* env, Reader* r, int rc, const char* message) {
  // A failed read is the InputStream's exception, when it threw one.
  if (jthrowable kept = r != nullptr && rc == KELVO4_ERROR_READ ? r->input.thrown.exchange(nullptr) : nullptr) {
    env->Throw(kept);
    env->DeleteGlobalRef(kept);
    return;
  }
  // ENOENT and EACCES are the system's, passed on from opening a file.
  kelvo4::jni::throwError(env, rc, message,
                          {{KELVO4_ERROR_BACKWARDS, "java/lang/UnsupportedOperationException"},
                           {KELVO4_ERROR_NO_FRAME, "java/io/EOFException"},
                           {-ENOENT, "java/nio/file/NoSuchFileException"},
                           {-EACCES, "java/nio/file/AccessDeniedException"}},
                          "java/io/IOException");
}

Reader* newReader(JNIEnv* env) {
  auto* r = new (std::nothrow) Reader;
  if (r == nullptr) throwNew(env, "java/lang/OutOfMemoryError", "cannot allocate a stream reader");
  return r;
}

void release(JNIEnv* env, Reader* r) {
  kelvo4_stream_close(&r->stream);  // joins the worker: nothing reads any more
  const jobject thrown = r->input.thrown.load();
  for (jobject ref : {r->input.in, static_cast<jobject>(r->input.scratch), thrown})
    if (ref != nullptr) env->DeleteGlobalRef(ref);
  delete r;
}

// A handle for the stream opened (rc 0), or 0 with the exception thrown.
jlong opened(JNIEnv* env, Reader* r, int rc) {
  if (rc == 0) return toHandle(r);
  throwError(env, r, rc, kelvo4_stream_error(nullptr));
  release(env, r);
  return 0;
}

// Decodes the next frame into out, of length elements of elementBytes each.
// Everything is read before the array is pinned; while it is, only the
// library's decode runs.
jboolean next(JNIEnv* env, jlong handle, jarray out, int format, std::size_t elementBytes) {
  Reader* r = fromHandle(handle);
  if (r == nullptr || out == nullptr) {
    throwNew(env, "java/lang/NullPointerException", r == nullptr ? "reader closed" : "output");
    return JNI_FALSE;
  }
  const std::size_t length = static_cast<std::size_t>(env->GetArrayLength(out)) * elementBytes;
  int rc = kelvo4_stream_peek(r->stream);
  if (rc < 0) throwError(env, r, rc, kelvo4_stream_error(r->stream));
  if (rc <= 0) return JNI_FALSE;
  void* pixels = env->GetPrimitiveArrayCritical(out, nullptr);
  if (pixels == nullptr) return JNI_FALSE;  // OutOfMemoryError pending
  rc = kelvo4::streamEmit(r->stream, pixels, length, format);
  env->ReleasePrimitiveArrayCritical(out, pixels, 0);
  if (rc < 0) throwError(env, r, rc, kelvo4_stream_error(r->stream));
  return rc > 0 ? JNI_TRUE : JNI_FALSE;
}

// Decodes the next frame into argb from element `offset` on, rows `stride`
// elements apart, the picture's size: a BufferedImage raster's own array,
// with its padding and the offset of a sub-image. Pinned as next pins it.
jboolean nextInto(JNIEnv* env, jlong handle, jintArray argb, jint offset, jint width, jint height, jint stride) {
  Reader* r = fromHandle(handle);
  if (r == nullptr || argb == nullptr) {
    throwNew(env, "java/lang/NullPointerException", r == nullptr ? "reader closed" : "argb");
    return JNI_FALSE;
  }
  const jsize elements = env->GetArrayLength(argb);
  if (offset < 0 || offset > elements || stride < 0) {
    throwNew(env, "java/lang/IllegalArgumentException", "offset or scanline stride outside the array");
    return JNI_FALSE;
  }
  int rc = kelvo4_stream_peek(r->stream);
  if (rc < 0) throwError(env, r, rc, kelvo4_stream_error(r->stream));
  if (rc <= 0) return JNI_FALSE;
  auto* pixels = static_cast<jint*>(env->GetPrimitiveArrayCritical(argb, nullptr));
  if (pixels == nullptr) return JNI_FALSE;  // OutOfMemoryError pending
  rc = kelvo4::streamEmitInto(r->stream, pixels + offset, static_cast<std::size_t>(elements - offset) * sizeof(jint),
                              KELVO4_ARGB32, width, height, static_cast<std::size_t>(stride) * sizeof(jint));
  env->ReleasePrimitiveArrayCritical(argb, pixels, 0);
  if (rc < 0) throwError(env, r, rc, kelvo4_stream_error(r->stream));
  return rc > 0 ? JNI_TRUE : JNI_FALSE;
}

// The fields of a KelvoStreamReader.Info, each a long, found once: a field ID
// holds while the class is loaded, which is as long as this library is. Null
// IDs, with NoSuchFieldError pending at the first call, when one is missing.
struct InfoFields {
  jfieldID width, height, codedWidth, codedHeight, rateNum, rateDen, frameCount, version;

  InfoFields(JNIEnv* env, jclass type)
      : width(find(env, type, "width")),
        height(find(env, type, "height")),
        codedWidth(find(env, type, "codedWidth")),
        codedHeight(find(env, type, "codedHeight")),
        rateNum(find(env, type, "rateNum")),
        rateDen(find(env, type, "rateDen")),
        frameCount(find(env, type, "frameCount")),
        version(find(env, type, "version")) {}

  bool found() const {
    return width && height && codedWidth && codedHeight && rateNum && rateDen && frameCount && version;
  }

  static jfieldID find(JNIEnv* env, jclass type, const char* name) {
    return env->ExceptionCheck() ? nullptr : env->GetFieldID(type, name, "J");
  }
};

const InfoFields& infoFields(JNIEnv* env, jobject info) {
  static const InfoFields fields = [&] {
    jclass type = env->GetObjectClass(info);
    InfoFields found(env, type);
    env->DeleteLocalRef(type);
    return found;
  }();
  return fields;
}

}  // namespace

// path: the file name as UTF-8 bytes, without a terminating NUL.
JNIEXPORT jlong JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_openFile(JNIEnv* env, jclass,
                                                                                jbyteArray path, jint threads,
                                                                                jlong maxPixels) {
  return guarded(env, [&]() -> jlong {
    if (path == nullptr) {
      throwNew(env, "java/lang/NullPointerException", "path");
      return 0;
    }
    const jsize length = env->GetArrayLength(path);
    std::vector<char> name;
    try {
      name.resize(static_cast<std::size_t>(length) + 1);
    } catch (const std::bad_alloc&) {
      throwNew(env, "java/lang/OutOfMemoryError", "cannot allocate the file name");
      return 0;
    }
    env->GetByteArrayRegion(path, 0, length, reinterpret_cast<jbyte*>(name.data()));
    if (std::memchr(name.data(), 0, static_cast<std::size_t>(length)) != nullptr) {
      throwNew(env, "java/lang/IllegalArgumentException", "file name with a NUL byte");
      return 0;
    }
    Reader* r = newReader(env);
    if (r == nullptr) return 0;
    const int rc = kelvo4_stream_open_file_limited(&r->stream, name.data(), threads, maxPixels);
    return opened(env, r, rc);
  });
}

JNIEXPORT jlong JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_openStream(JNIEnv* env, jclass, jobject in,
                                                                                  jbyteArray scratch, jint threads,
                                                                                  jlong maxPixels) {
  return guarded(env, [&]() -> jlong {
    if (in == nullptr || scratch == nullptr) {
      throwNew(env, "java/lang/NullPointerException", in == nullptr ? "in" : "scratch");
      return 0;
    }
    Reader* r = newReader(env);
    if (r == nullptr) return 0;
    Input& input = r->input;
    jclass type = env->GetObjectClass(in);
    input.read = env->GetMethodID(type, "read", "([BII)I");
    env->DeleteLocalRef(type);
    input.capacity = env->GetArrayLength(scratch);
    if (input.read == nullptr || env->GetJavaVM(&input.vm) != JNI_OK || input.capacity <= 0 ||
        (input.in = env->NewGlobalRef(in)) == nullptr ||
        (input.scratch = static_cast<jbyteArray>(env->NewGlobalRef(scratch))) == nullptr) {
      if (!env->ExceptionCheck()) throwNew(env, "java/lang/IllegalStateException", "cannot hold the InputStream");
      release(env, r);
      return 0;
    }
    const int rc = kelvo4_stream_open_callback_limited(&r->stream, readInput, &input, nullptr, threads, maxPixels);
    return opened(env, r, rc);
  });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_close(JNIEnv* env, jclass, jlong handle) {
  guarded(env, [&] {
    Reader* r = fromHandle(handle);
    if (r != nullptr) release(env, r);
  });
}

// Fills in the fields of a KelvoStreamReader.Info.
JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_info(JNIEnv* env, jclass, jlong handle,
                                                                           jobject info) {
  guarded(env, [&] {
    Reader* r = fromHandle(handle);
    kelvo4_stream_info i{};
    i.size = sizeof i;
    if (r == nullptr || info == nullptr || kelvo4_stream_get_info(r->stream, &i) < 0) {
      throwNew(env, "java/lang/IllegalArgumentException", "info");
      return;
    }
    const InfoFields& field = infoFields(env, info);
    if (!field.found()) {
      if (!env->ExceptionCheck()) throwNew(env, "java/lang/NoSuchFieldError", "KelvoStreamReader.Info");
      return;
    }
    env->SetLongField(info, field.width, i.width);
    env->SetLongField(info, field.height, i.height);
    env->SetLongField(info, field.codedWidth, i.coded_width);
    env->SetLongField(info, field.codedHeight, i.coded_height);
    env->SetLongField(info, field.rateNum, i.rate_num);
    env->SetLongField(info, field.rateDen, i.rate_den);
    env->SetLongField(info, field.frameCount, i.frame_count);
    env->SetLongField(info, field.version, i.version);
  });
}

JNIEXPORT jstring JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_damage(JNIEnv* env, jclass,
                                                                                jlong handle) {
  return guarded(env, [&]() -> jstring {
    Reader* r = fromHandle(handle);
    const char* damage = r == nullptr ? nullptr : kelvo4_stream_damage(r->stream);
    return damage == nullptr ? nullptr : env->NewStringUTF(damage);
  });
}

JNIEXPORT jlong JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_position(JNIEnv* env, jclass, jlong handle) {
  return guarded(env, [&]() -> jlong {
    Reader* r = fromHandle(handle);
    return r == nullptr ? -1 : kelvo4_stream_position(r->stream);
  });
}

JNIEXPORT jlongArray JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_keyFrames(JNIEnv* env, jclass,
                                                                                      jlong handle) {
  return guarded(env, [&]() -> jlongArray {
    Reader* r = fromHandle(handle);
    const int64_t count = r == nullptr ? 0 : kelvo4_stream_key_frames(r->stream, nullptr, 0);
    std::vector<int64_t> frames;
    try {
      frames.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
      throwNew(env, "java/lang/OutOfMemoryError", "key frames");
      return nullptr;
    }
    if (count > 0) kelvo4_stream_key_frames(r->stream, frames.data(), count);
    jlongArray out = env->NewLongArray(static_cast<jsize>(count));
    if (out != nullptr && count > 0) {
      static_assert(sizeof(jlong) == sizeof(int64_t));
      env->SetLongArrayRegion(out, 0, static_cast<jsize>(count), reinterpret_cast<const jlong*>(frames.data()));
    }
    return out;
  });
}

JNIEXPORT jboolean JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_nextRgb(JNIEnv* env, jclass, jlong handle,
                                                                                  jbyteArray rgb) {
  return guarded(env, [&] { return next(env, handle, rgb, KELVO4_RGB24, 1); });
}

JNIEXPORT jboolean JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_nextArgb(JNIEnv* env, jclass, jlong handle,
                                                                                   jintArray argb) {
  return guarded(env, [&] { return next(env, handle, argb, KELVO4_ARGB32, sizeof(jint)); });
}

JNIEXPORT jboolean JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_nextArgbInto(
    JNIEnv* env, jclass, jlong handle, jintArray argb, jint offset, jint width, jint height, jint stride) {
  return guarded(env, [&] { return nextInto(env, handle, argb, offset, width, height, stride); });
}

JNIEXPORT void JNICALL Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_seekTo(JNIEnv* env, jclass, jlong handle,
                                                                             jlong frame) {
  guarded(env, [&] {
    Reader* r = fromHandle(handle);
    if (r == nullptr) {
      throwNew(env, "java/lang/NullPointerException", "reader closed");
      return;
    }
    const int rc = kelvo4_stream_seek(r->stream, frame);
    if (rc < 0) throwError(env, r, rc, kelvo4_stream_error(r->stream));
  });
}
