// Case folding as the tool does it everywhere: only the letters A to Z map to
// a to z, whatever the system's language settings.
#pragma once

namespace diag {

inline wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

inline void LowerAsciiInPlace(wchar_t* text) {
  for (; *text != L'\0'; ++text) *text = LowerAscii(*text);
}

// Same length and the same characters once A to Z are folded.
inline bool EqualsFoldingAscii(const wchar_t* a, const wchar_t* b) {
  for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
  }
  return *a == *b;
}

}  // namespace diag
