// Reading files we did not write: their text in messages, and their bytes
// without trusting the sizes they claim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo4 {

// Text taken from an input, fit for a message: in single quotes, backslash as
// \\, the quote as \', tab, CR and LF as \t, \r, \n and any other byte outside
// printable ASCII as \xNN; cut after a few dozen characters, marked by ...
// after the closing quote.
std::string quoted(std::string_view text);

// Appends count bytes from file to out and returns how many there were:
// count, or fewer at the end of the input (or after a read error, which
// leaves ferror(file) set). Memory follows the bytes that are there: when
// file is a regular file that holds fewer than count more bytes, nothing is
// read or allocated and the bytes it holds are returned; otherwise (a pipe)
// out grows in steps of a few MiB as the bytes arrive.
std::size_t appendBytes(std::FILE* file, std::vector<std::uint8_t>& out, std::size_t count);
// Replaces out's contents with count bytes from file and returns how many
// there were, as appendBytes; when out already holds count bytes (a frame
// of the size before), they are read into its memory, uncleared.
std::size_t readBytes(std::FILE* file, std::vector<std::uint8_t>& out, std::size_t count);

}  // namespace kelvo4
