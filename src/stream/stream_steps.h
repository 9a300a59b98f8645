// The second half of kelvo4_stream_next, after kelvo4_stream_peek, for a
// caller that may hand over its output only while the calling thread reads
// nothing (the Java binding pins its array for the decode alone, and its read
// function calls into the VM).
#pragma once

#include <cstddef>

#include "kelvo4/stream.h"

namespace kelvo4 {

// Decodes the frame kelvo4_stream_peek made ready into out, checked as
// kelvo4_stream_next checks it: 1, or a negative errno value. Calls no read
// function on the calling thread and waits for nothing.
int streamEmit(kelvo4_stream* s, void* out, std::size_t outLength, int format);
// The same for kelvo4_stream_next_into.
int streamEmitInto(kelvo4_stream* s, void* out, std::size_t outLength, int format, int width, int height,
                   std::size_t stride);

}  // namespace kelvo4
