// What the JNI glue files share: the JNI version they need, the one way they
// throw a Java exception of a named class, the one way a library error
// becomes one, and the guard that keeps C++ exceptions out of the VM.
#pragma once

#include <jni.h>

#include <exception>
#include <initializer_list>
#include <new>
#include <type_traits>

#include "kelvo4/decoder.h"

namespace kelvo4::jni {

// The version the library asks of the VM (JNI_OnLoad) and of attached threads.
inline constexpr jint kVersion = JNI_VERSION_1_6;

// Throws a new exception of the class named (e.g. "java/io/IOException").
// When the class cannot be found, FindClass's own error stays pending and
// reaches the caller instead.
inline void throwNew(JNIEnv* env, const char* className, const char* message) {
  jclass type = env->FindClass(className);
  if (type == nullptr) return;
  env->ThrowNew(type, message);
  env->DeleteLocalRef(type);
}

// A library error code (enum kelvo4_error, or an errno value the library
// passes on) and the exception class a Java class throws for it.
struct ErrorClass {
  int code;
  const char* className;
};

// Throws, for the library's result rc < 0, the exception with the message
// given: of the class `own` names for rc, else IllegalArgumentException for
// KELVO4_ERROR_ARGUMENT and OutOfMemoryError for KELVO4_ERROR_MEMORY, else of
// the class `otherwise`. An exception already pending (the VM's, from a pin
// that failed) is left to be thrown instead.
inline void throwError(JNIEnv* env, int rc, const char* message, std::initializer_list<ErrorClass> own,
                       const char* otherwise) {
  if (env->ExceptionCheck()) return;
  const char* type = rc == KELVO4_ERROR_ARGUMENT ? "java/lang/IllegalArgumentException"
                     : rc == KELVO4_ERROR_MEMORY ? "java/lang/OutOfMemoryError"
                                                 : otherwise;
  for (const ErrorClass& e : own)
    if (e.code == rc) type = e.className;
  throwNew(env, type, message);
}

// Inside a catch block: throws the Java exception for the C++ exception being
// handled, unless one is pending already.
inline void throwCaught(JNIEnv* env) noexcept {
  if (env->ExceptionCheck()) return;
  try {
    throw;
  } catch (const std::bad_alloc&) {
    throwNew(env, "java/lang/OutOfMemoryError", "out of native memory");
  } catch (const std::exception& e) {
    throwNew(env, "java/lang/IllegalStateException", e.what());
  } catch (...) {
    throwNew(env, "java/lang/IllegalStateException", "native failure");
  }
}

// Runs body, the whole of a JNI entry point, so that no C++ exception crosses
// into the VM: one that escapes body is thrown as a Java exception, and the
// entry point returns 0 (null, false).
template <typename Body>
auto guarded(JNIEnv* env, Body&& body) noexcept -> std::invoke_result_t<Body> {
  using Result = std::invoke_result_t<Body>;
  try {
    return body();
  } catch (...) {
    throwCaught(env);
  }
  if constexpr (!std::is_void_v<Result>) return Result{};
}

}  // namespace kelvo4::jni
