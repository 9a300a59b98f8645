// Integer 8x8 DCT kernels, in place on 64 signed 16-bit values in row-major order.
#pragma once

// Inverse transform: coefficients in, spatial samples in [-512, 511] out.
// Defined bit for bit for every input, including at the saturation limits.
void Vrel_IDct16_MMX(short* block);
