// Narrowing of the tool's wide lines to the bytes that standard output and
// the log file receive. Code units 0 to 255 become the one byte of the same
// value, as the runtime's "C" locale writes them; anything above becomes its
// UTF-8 bytes (a surrogate pair as one 4-byte sequence), so that a line with
// a Chinese message or a non-Latin device name is still written whole.
#pragma once

#include <cstddef>
#include <string>

namespace diag {

enum class Newline {
  kAsIs,  // "\n" stays one byte (the log file is written in binary)
  kCrLf,  // "\n" becomes CR LF, as a text-mode stream writes it
};

// Appends the bytes for `count` code units of `text` to `out`.
void AppendNarrowed(std::string& out, const wchar_t* text, std::size_t count, Newline newline);

std::string Narrow(const wchar_t* text, std::size_t count, Newline newline);

}  // namespace diag
