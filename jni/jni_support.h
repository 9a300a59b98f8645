// What the JNI glue files share: the JNI version they need and the one way
// they throw a Java exception of a named class.
#pragma once

#include <jni.h>

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

}  // namespace kelvo4::jni
