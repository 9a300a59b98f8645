/* The machine-dependent JNI definitions for 64-bit Windows, which the JDK
 * here (Linux) does not carry: a Windows VM's int is 32 bits and its long
 * too, so jlong is a long long; exports are marked for the DLL. */
#ifndef KELVO4_JNI_MD_H
#define KELVO4_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
