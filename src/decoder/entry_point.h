// Internal: the catch-all of the library's C entry points.
#pragma once

#include <cerrno>
#include <cxxabi.h>
#include <new>
#include <string>

namespace kelvo4 {

// Runs the body of a C entry point so that no exception leaves it: memory
// running out gives -ENOMEM, anything else -EIO, with the message in
// *message (when not null). A thread's cancellation passes through.
template <class Body>
int guardedCall(std::string* message, Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    if (message) *message = "out of memory";  // short enough to need no allocation
    return -ENOMEM;
  } catch (...) {
    if (message) *message = "an exception was thrown";
    return -EIO;
  }
}

// The same for an entry point that has no error code: `fallback` stands for
// the answer when the body throws.
template <class T, class Body>
T guardedOr(T fallback, Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return fallback;
  }
}

}  // namespace kelvo4
