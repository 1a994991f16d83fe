// "/compare <exe>": this exe's file version against another exe's, told by
// the exit code alone. The install command asks it before it copies, so that
// it never puts an older version over a newer one; cmd itself has no reliable
// way to read a file version.
#pragma once

namespace app {

constexpr int kOtherIsOlder = 40;
constexpr int kOtherIsSame = 41;
constexpr int kOtherIsNewer = 42;
constexpr int kOtherIsUnknown = 43;  // no such file, or no file version in it

// The other file's fixed file version against this build's. Reads the file,
// changes nothing.
int CompareFileVersion(const wchar_t* otherPath);

}  // namespace app
