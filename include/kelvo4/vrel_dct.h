/* Integer 8x8 DCT kernels, in place on 64 signed 16-bit values in row-major
 * order. Usable from C and C++. */
#ifndef KELVO4_VREL_DCT_H
#define KELVO4_VREL_DCT_H

#if defined(__GNUC__)
#define KELVO4_DCT_EXPORT __attribute__((visibility("default")))
#else
#define KELVO4_DCT_EXPORT
#endif

#ifdef __cplusplus
/* Inverse transform: coefficients in, spatial samples in [-512, 511] out.
 * Defined bit for bit for every input, including at the saturation limits.
 * Also exported under the plain C name Vrel_IDct16_MMX. Clears the MMX state
 * before it returns. */
KELVO4_DCT_EXPORT void Vrel_IDct16_MMX(short* block);
extern "C" {
#else
/* The inverse transform, by its plain C name (see above). */
void Vrel_IDct16_MMX(short* block);
#endif

/* Forward transform: samples in, coefficients in [-2048, 2047] out, with the
 * same layout (element 8 * v + u holds vertical frequency v, horizontal u).
 * Defined bit for bit for every input. Leaves the MMX state set: clear it
 * (_mm_empty) before any x87 floating point. */
KELVO4_DCT_EXPORT void Vrel_Dct16_MMX(short* block);

#ifdef __cplusplus
}
#endif

#endif
