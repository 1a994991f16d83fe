// "/compare <exe> [<version>]": another exe's file version against this
// build's, or against the version given, told by the exit code alone. The
// install command asks it before it copies, so that it never puts an older
// version over a newer one and adopts only after a release that kept no
// records; cmd itself has no reliable way to read a file version. The
// package's custom actions read version texts with the same rule.
#pragma once

#include <cstdint>

namespace app {

constexpr int kOtherIsOlder = 40;
constexpr int kOtherIsSame = 41;
constexpr int kOtherIsNewer = 42;
constexpr int kOtherIsUnknown = 43;  // no such file, no file version in it, or a version text that does not read

// A version as people write one, 1 to 4 dot-separated numbers of 0 to 65535
// ("0.3" is 0.3.0.0), packed as a file version's four 16-bit fields, most
// significant first. False for anything else: an empty field, a sign, a space.
// Inline, so that the custom actions library takes it without the tool's calls.
inline bool ReadVersionText(const wchar_t* text, std::uint64_t& version) {
  if (text == nullptr) return false;
  std::uint64_t packed = 0;
  int fields = 0;
  for (const wchar_t* c = text;; ++c) {
    const wchar_t* const start = c;
    std::uint32_t number = 0;
    for (; *c >= L'0' && *c <= L'9'; ++c) {
      number = number * 10 + static_cast<std::uint32_t>(*c - L'0');
      if (number > 0xFFFF) return false;
    }
    if (c == start || fields == 4) return false;
    packed = (packed << 16) | number;
    ++fields;
    if (*c == L'\0') break;
    if (*c != L'.') return false;
  }
  version = packed << (16 * (4 - fields));
  return true;
}

// The other file's fixed file version against this build's, or against
// `versionText` when one is given. Reads the file, changes nothing.
int CompareFileVersion(const wchar_t* otherPath, const wchar_t* versionText = nullptr);

}  // namespace app
