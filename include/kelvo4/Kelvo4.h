// The decoder: one process-wide state, driven frame by frame on plain buffers.
//
// A frame holds `height` rows of `width3` = 3 * `width` signed 16-bit samples,
// one (c0, c1, c2) triplet per pixel. Samples wrap modulo 2^16; only the
// output conversion clamps.
#pragma once

// Windows: a program reaches data in a DLL through its import, which the
// declaration must say (MinGW would also find it without).
#if defined(_WIN32) && !defined(KELVO4_BUILDING)
#define KELVO4_IMPORTED_DATA __declspec(dllimport)
#else
#define KELVO4_IMPORTED_DATA
#endif

extern KELVO4_IMPORTED_DATA int width, height, width3;
extern KELVO4_IMPORTED_DATA short* oldfr;     // current frame: after a decode, the frame just decoded
extern KELVO4_IMPORTED_DATA short* oldoldfr;  // previous frame: during a decode, the prediction source
extern KELVO4_IMPORTED_DATA short* quant;     // 64 dequantisation factors in natural order
extern KELVO4_IMPORTED_DATA short* in;        // the one coefficient block being decoded

// Sizes the decoder and restarts the sequence from the initial frame
// (0, 128, 128) at every pixel. Returns false, changing nothing, when the size
// is unsupported (negative, or 3 * width * height >= 2^31). Returns false and
// leaves the unsized state (0 x 0, no buffers) when the buffers cannot be
// allocated.
bool reinitDLL(int width, int height);

// Loads the table from exactly 64 floats (any other count is ignored), each
// truncated toward zero; out-of-range values, infinities and NaN give -32768.
void setQuantizationTable(const float* values, int count);

// Decodes one frame payload of exactly n + n / 2 bytes (n = width * height)
// and, when convert is set, writes 3 * n output bytes. A call with a wrong
// length, or a null buffer where bytes are needed, returns without effect.
void decodeFrame(const signed char* payload, int payloadLength, signed char* output, int outputLength,
                 bool convert);

// Decodes the 64-byte block at payload + offset (coefficients in zigzag order)
// into `in`: natural order, sign-extended, multiplied by `quant` keeping the
// low 16 bits, then inverse transformed in place.
void internalIDCT(const signed char* payload, int offset);

// Adds the residual blocks of a frame payload to frame: the 8x8 c0 blocks in
// raster order, then per 16x16 macroblock one c1 and one c2 block whose samples
// each cover 2x2 pixels. Sums wrap in 16 bits; pixels outside whole blocks keep
// their value, and bytes past the last whole block are not read.
void addTile(const signed char* payload, short* frame);

// Converts the frame to 3 * width * height bytes, three per pixel in frame
// order, computed in wrapping 16-bit arithmetic and clamped to 0..255.
void decodeYUV(short* frame, signed char* out);

// Prediction: each sample becomes the mean of its four neighbours of the same
// component in src, a pixel standing in for a neighbour outside the frame. The
// sum wraps in 16 bits and the division truncates toward zero. src and dst are
// distinct frames of the current size.
void smooth(short* src, short* dst);
