// The comparison reads the other file's fixed version block, the numbers that
// Explorer and a detection rule read, and compares them with the numbers
// this build carries in its own, or with a version the caller gives.
#include "app/version_compare.h"

#include <cstdint>
#include <vector>

#include "diag/trace.h"
#include "platform/calls.h"

#ifndef MDS_FILE_VERSION_NUMBERS
#error "MDS_FILE_VERSION_NUMBERS: the build names the file version's four numbers"
#endif

namespace app {
namespace {

using platform::Sys;

// The four 16-bit fields, most significant first, as one number.
std::uint64_t Packed(std::uint32_t high, std::uint32_t low) { return (std::uint64_t{high} << 32) | low; }

constexpr std::uint16_t kOwnNumbers[] = {MDS_FILE_VERSION_NUMBERS};
static_assert(sizeof(kOwnNumbers) / sizeof(kOwnNumbers[0]) == 4, "a file version has four numbers");

std::uint64_t OwnVersion() {
  return Packed((std::uint32_t{kOwnNumbers[0]} << 16) | kOwnNumbers[1],
                (std::uint32_t{kOwnNumbers[2]} << 16) | kOwnNumbers[3]);
}

// The other file's version; false when it has none that can be read.
bool ReadVersion(const wchar_t* path, std::uint64_t& version) {
  DWORD ignored = 0;
  const DWORD size = Sys().GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) {
    const DWORD error = Sys().GetLastError();
    diag::TraceLine(L"compare: %s has no file version(%lu)", path, error);
    return false;
  }
  std::vector<unsigned char> block(size);
  void* found = nullptr;
  UINT length = 0;
  if (!Sys().GetFileVersionInfoW(path, 0, size, block.data()) ||
      !Sys().VerQueryValueW(block.data(), L"\\", &found, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    const DWORD error = Sys().GetLastError();
    diag::TraceLine(L"compare: the file version of %s cannot be read(%lu)", path, error);
    return false;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(found);
  if (fixed->dwSignature != VS_FFI_SIGNATURE) {
    diag::TraceLine(L"compare: the file version of %s cannot be read(%lu)", path, 0u);
    return false;
  }
  version = Packed(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  return true;
}

// One of the four fields, the most significant first.
unsigned Field(std::uint64_t version, int index) {
  return static_cast<unsigned>((version >> (48 - 16 * index)) & 0xFFFF);
}

}  // namespace

int CompareFileVersion(const wchar_t* otherPath, const wchar_t* versionText) {
  if (otherPath == nullptr) {
    diag::TraceLine(L"compare: no file named");
    return kOtherIsUnknown;
  }
  std::uint64_t against = OwnVersion();
  if (versionText != nullptr && !ReadVersionText(versionText, against)) {
    diag::TraceLine(L"compare: %s is no version (1 to 4 dot-separated numbers of 0 to 65535)", versionText);
    return kOtherIsUnknown;
  }
  std::uint64_t other = 0;
  if (!ReadVersion(otherPath, other)) return kOtherIsUnknown;
  const int answer = other < against ? kOtherIsOlder : other == against ? kOtherIsSame : kOtherIsNewer;
  diag::TraceLine(L"compare: %s is version %u.%u.%u.%u, %s %u.%u.%u.%u (%d)", otherPath, Field(other, 0),
                  Field(other, 1), Field(other, 2), Field(other, 3),
                  versionText != nullptr ? L"the version given" : L"this one", Field(against, 0), Field(against, 1),
                  Field(against, 2), Field(against, 3), answer);
  return answer;
}

}  // namespace app
