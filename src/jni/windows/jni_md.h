/* The machine-dependent JNI definitions for Windows, which the JDK here
 * (Linux) does not carry: a Windows VM's int is 32 bits and its long too, so
 * jlong is a long long; exports are marked for the DLL. On 32-bit Windows
 * Kelvo4.def alone names them (its two names for each __stdcall function;
 * the mark would add GCC's NAME@N, a third that no VM looks up). */
#ifndef KELVO4_JNI_MD_H
#define KELVO4_JNI_MD_H

#ifdef _WIN64
#define JNIEXPORT __declspec(dllexport)
#else
#define JNIEXPORT
#endif
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
