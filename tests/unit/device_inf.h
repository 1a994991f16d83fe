// USB INF files for the device tests: a [Version] section, a models section
// "Apple.NTamd64" with the given lines, and [Strings]. Written as UTF-16LE
// with a byte-order mark, so lines may hold any character.
#pragma once

#include <string>

#include "support/tool_runner.h"

namespace device_test {

const wchar_t kModelsSection[] = L"Apple.NTamd64";

// One models line whose field 2 is `hardwareId`.
inline std::wstring ModelsLine(const std::wstring& hardwareId) {
  return L"%Device.Desc%=Device_Install, " + hardwareId + L"\r\n";
}

// An INF with `sectionName` holding `lines` (each ending in CR LF).
inline std::wstring InfText(const std::wstring& lines, const std::wstring& sectionName = kModelsSection) {
  return L"[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\n"
         L"ClassGuid={36FC9E60-C465-11CF-8056-444553540000}\r\nProvider=%Provider%\r\n\r\n"
         L"[Manufacturer]\r\n%Provider%=Apple,NTamd64\r\n\r\n[" +
         sectionName + L"]\r\n" + lines +
         L"\r\n[Strings]\r\nProvider=\"Fixture Devices\"\r\nDevice.Desc=\"Fixture\"\r\n";
}

// Writes `text` as UTF-16LE with a byte-order mark to `path`.
inline bool WriteInf(const std::wstring& path, const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return testing_support::WriteBytes(path, bytes);
}

}  // namespace device_test
