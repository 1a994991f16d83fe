// "/inventory": the store report as one JSON document on standard output.
// The keys named in docs/reference.md are a contract with the scripts that
// read them: add keys, never rename one.
#include <string>

#include "diag/json.h"
#include "diag/trace.h"
#include "package/store_status.h"

#ifndef MDS_FILE_VERSION
#error "MDS_FILE_VERSION: the build names the file version"
#endif

namespace package {
namespace {

using diag::AppendFormat;
using diag::JsonString;
using diag::JsonStringOrNull;

const wchar_t* JsonBool(bool value) { return value ? L"true" : L"false"; }

void AppendCopy(std::wstring& out, const CopyReport& entry, bool last) {
  const difx::StoreCopy& copy = entry.copy;
  const wchar_t* const kCurrent[] = {L"false", L"true", L"null"};
  AppendFormat(out, L"        {\"publishedName\": %s, \"originalName\": %s, \"catalogName\": %s,\r\n",
               JsonString(copy.publishedName), JsonStringOrNull(copy.originalName), JsonStringOrNull(copy.catalogName));
  AppendFormat(out, L"         \"storePath\": %s, \"driverDate\": %s, \"driverVersion\": %s,\r\n",
               JsonStringOrNull(copy.storePath), JsonStringOrNull(copy.driverDate),
               JsonStringOrNull(copy.driverVersion));
  AppendFormat(out, L"         \"provider\": %s, \"classGuid\": %s, \"current\": %s, \"owned\": %s,\r\n",
               JsonStringOrNull(copy.provider), JsonStringOrNull(copy.classGuid),
               kCurrent[static_cast<int>(entry.current)], JsonBool(entry.owned));
  out += L"         \"devices\": [";
  for (std::size_t i = 0; i < entry.devices.size(); ++i) {
    AppendFormat(out, i == 0 ? L"%s" : L", %s", JsonString(entry.devices[i]));
  }
  out += last ? L"]}\r\n" : L"]},\r\n";
}

std::wstring Document(const StoreReport& report) {
  std::wstring out;
  AppendFormat(out, L"{\"tool\": \"mdsdriver\", \"version\": %s, \"status\": %d,\r\n", JsonString(L"" MDS_FILE_VERSION),
               report.status);
  AppendFormat(out, L" \"storeRead\": %s, \"devicesRead\": %s, \"restartPending\": %s,\r\n \"unreadable\": [",
               JsonBool(report.storeRead), JsonBool(report.devicesRead), JsonBool(report.restartPending));
  for (std::size_t i = 0; i < report.unreadable.size(); ++i) {
    AppendFormat(out, i == 0 ? L"{\"name\": %s, \"error\": %lu}" : L", {\"name\": %s, \"error\": %lu}",
                 JsonString(report.unreadable[i].name), report.unreadable[i].error);
  }
  out += L"],\r\n \"packages\": [\r\n";
  for (const PackageReport& package : report.packages) {
    AppendFormat(out, L"  {\"package\": %s, \"inf\": %s, \"infPresent\": %s,\r\n   \"copies\": [\r\n",
                 JsonString(package.package), JsonString(package.inf), JsonBool(package.infPresent));
    for (std::size_t i = 0; i < package.copies.size(); ++i) {
      AppendCopy(out, package.copies[i], i + 1 == package.copies.size());
    }
    out += &package == &report.packages[1] ? L"  ]}\r\n" : L"  ]},\r\n";
  }
  out += L"]}\r\n";
  return out;
}

}  // namespace

int StoreInventory(const wchar_t* networkInf, const wchar_t* usbInf, OwnedTest owned) {
  diag::SetTraceToStandardOutput(false);
  const StoreReport report = ReadStoreReport(networkInf, usbInf, owned);
  const std::wstring document = Document(report);
  // Plain ASCII: the escaper leaves nothing else, so each character is its byte.
  std::string bytes;
  bytes.reserve(document.size());
  for (const wchar_t c : document) bytes += static_cast<char>(c);
  diag::WriteStandardOutput(bytes);
  diag::SetTraceToStandardOutput(true);
  return report.status;
}

}  // namespace package
