// The bad-input corpus: mdsdriver.exe run for real under the debugger against
// broken and unusual USB INF files at the fixed place, sample devices with
// unusual properties, and odd places to run from. Each run must end with the
// exit code its switch's table lists and say exactly what it should, on
// standard output, the debugger channel and in the log; none may crash or hang.
//
// Every test tallies the inputs it tried; CorpusSummary, run after all of
// them, adds the tallies up and prints the figure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/fixture_packages.h"
#include "support/tool_runner.h"
#include "tools/device_registry.h"
#include "unit/device_inf.h"

// winioctl.h after the windows.h that tool_runner.h brings in.
#include <winioctl.h>

namespace {

using testing_support::RunAsDebuggee;
using testing_support::TempDir;
using testing_support::ToolRun;

// ---------------------------------------------------------------------------
// Expected bytes

// The tool's rule for its two byte outputs: code units 0 to 255 become the
// byte of the same value, every other character its UTF-8 bytes.
std::string ToolBytes(const std::wstring& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (static_cast<unsigned>(c) <= 0xFF) {
      bytes += static_cast<char>(c);
      continue;
    }
    const bool pair =
        c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    const int units = pair ? 2 : 1;
    char utf8[8] = {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, &text[i], units, utf8, sizeof(utf8), nullptr, nullptr);
    bytes.append(utf8, static_cast<size_t>(size));
    i += static_cast<size_t>(units - 1);
  }
  return bytes;
}

std::wstring Repeat(const std::wstring& text, size_t count) {
  std::wstring repeated;
  for (size_t i = 0; i < count; ++i) repeated += text;
  return repeated;
}

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A line as the debugger receives it. Windows hands a debugger the wide text
// itself; Wine 8 passes debug strings only in the ANSI code page, so there a
// character outside it arrives as "?". The tool sends the wide text either way.
std::wstring AsDebuggerGetsIt(const std::wstring& text) {
  static const bool ansiOnly = UnderWine();
  if (!ansiOnly || text.empty()) return text;
  const int size = static_cast<int>(text.size());
  const int narrow = WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(narrow), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), size, &bytes[0], narrow, nullptr, nullptr);
  const int wide = MultiByteToWideChar(CP_ACP, 0, bytes.data(), narrow, nullptr, 0);
  std::wstring back(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), narrow, &back[0], wide);
  return back;
}

std::vector<std::wstring> AsDebuggerGetsThem(const std::vector<std::wstring>& lines) {
  std::vector<std::wstring> received;
  for (const std::wstring& line : lines) received.push_back(AsDebuggerGetsIt(line));
  return received;
}

// ---------------------------------------------------------------------------
// What a run said

bool IsTimestamp(const std::wstring& line) {
  if (line.size() < 20) return false;
  for (size_t i = 0; i < 19; ++i) {
    const wchar_t want = (i == 4 || i == 7) ? L'-' : i == 10 ? L' ' : (i == 13 || i == 16) ? L':' : L'0';
    if (want == L'0' ? !(line[i] >= L'0' && line[i] <= L'9') : line[i] != want) return false;
  }
  return line[19] == L'\t';
}

// The debug strings of a run, split by channel, each without its prefix
// (thread tag or timestamp) and without the "\n" that closes every line.
struct Said {
  std::vector<std::wstring> trace;
  std::vector<std::wstring> log;
  std::vector<std::wstring> unexpected;  // neither shape nor difxapi_x64.dll's own line, or not closed by "\n"
};

Said SplitDebugStrings(const ToolRun& run) {
  Said said;
  const std::wstring tag = L"[app](" + std::to_wstring(run.mainThreadId) + L"): ";
  for (const std::wstring& line : run.debugStrings) {
    const bool closed = !line.empty() && line.back() == L'\n';
    if (closed && line.compare(0, tag.size(), tag) == 0) {
      said.trace.push_back(line.substr(tag.size(), line.size() - tag.size() - 1));
    } else if (closed && IsTimestamp(line)) {
      said.log.push_back(line.substr(20, line.size() - 21));
    } else if (!closed || line.compare(0, 13, L"difxapi_x64: ") != 0) {  // the library's: how each removal went
      said.unexpected.push_back(line);
    }
  }
  return said;
}

// Standard output of trace lines: the tag, the message, CR LF for each "\n".
std::string TraceBytes(const ToolRun& run, const std::vector<std::wstring>& messages) {
  std::string bytes;
  for (const std::wstring& message : messages) {
    std::wstring line = L"[app](" + std::to_wstring(run.mainThreadId) + L"): ";
    for (wchar_t c : message + L"\n") line += c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, c);
    bytes += ToolBytes(line);
  }
  return bytes;
}

// The run's trace, exactly: the debugger copies and the standard output bytes.
// With `refusal`, the run's log is refused, and one line wherever it falls
// says why: "The log is not written: <path><refusal>".
void ExpectTrace(const ToolRun& run, std::vector<std::wstring> messages, const std::wstring& refusal = L"") {
  const Said said = SplitDebugStrings(run);
  const auto said_why = std::find_if(said.trace.begin(), said.trace.end(), [&](const std::wstring& line) {
    return line.rfind(L"The log is not written: ", 0) == 0 && line.size() > refusal.size() &&
           line.compare(line.size() - refusal.size(), refusal.size(), refusal) == 0;
  });
  if (!refusal.empty() && said_why != said.trace.end()) {
    messages.insert(messages.begin() + (said_why - said.trace.begin()), *said_why);
  }
  EXPECT_EQ(said.trace, AsDebuggerGetsThem(messages));
  EXPECT_EQ(said.unexpected, std::vector<std::wstring>{});
  EXPECT_EQ(run.output, TraceBytes(run, messages));
}

// The debugger copies of the run's log lines, exactly.
void ExpectLogCopies(const ToolRun& run, const std::vector<std::wstring>& messages) {
  EXPECT_EQ(SplitDebugStrings(run).log, AsDebuggerGetsThem(messages));
}

// The records of one log file, each checked whole: a timestamp and TAB, the
// message, LF CR LF. Returns the messages' bytes.
std::vector<std::string> RecordsOf(const std::string& bytes) {
  std::vector<std::string> messages;
  size_t start = 0;
  for (size_t end; (end = bytes.find("\n\r\n", start)) != std::string::npos; start = end + 3) {
    const std::string record = bytes.substr(start, end - start);
    EXPECT_TRUE(record.size() >= 20 && record[4] == '-' && record[13] == ':' && record[19] == '\t') << record;
    messages.push_back(record.size() >= 20 ? record.substr(20) : record);
  }
  EXPECT_EQ(start, bytes.size()) << "the file ends with a whole record";
  return messages;
}

std::vector<std::string> ToolBytesOf(const std::vector<std::wstring>& messages) {
  std::vector<std::string> bytes;
  for (const std::wstring& message : messages) bytes.push_back(ToolBytes(message));
  return bytes;
}

// The run's log folder holds one file with exactly these records.
void ExpectLogFile(const std::wstring& logDir, const std::vector<std::wstring>& messages) {
  const std::vector<std::wstring> files = testing_support::ListFolder(logDir);
  ASSERT_EQ(files.size(), 1u) << "one log file";
  EXPECT_EQ(files[0].size(), 19u) << "YYYYMMDD_HHMMSS.log";
  std::string bytes;
  ASSERT_TRUE(testing_support::ReadBytes(logDir + L"\\" + files[0], bytes));
  EXPECT_EQ(RecordsOf(bytes), ToolBytesOf(messages));
}

// ---------------------------------------------------------------------------
// The tool's own lines

const wchar_t kUpdateEntry[] = L"\nUpdateDevice...";
const wchar_t kUpdateSucceeded[] = L" Driver Update Successed!\n";
const wchar_t kUpdateFailed[] = L" Driver Update failed!\n";
const wchar_t kQueryEntry[] = L"\nEnter CQoDriverComImp::DealDeviceOpt(query)...";
const wchar_t kQueryLeave[] = L"Leave CQoDriverComImp::DealDeviceOpt(query)...";
// "opening the file failed: " and "no usable device descriptor"
const wchar_t kOpenFailed[] = L"\u6253\u5F00\u6587\u4EF6\u5931\u8D25\uFF1A";
const wchar_t kNoDescriptor[] = L"\u6CA1\u6709\u53EF\u7528\u8BBE\u5907\u63CF\u8FF0\u7B26";
const wchar_t kUsbClassGuid[] = L"{36FC9E60-C465-11CF-8056-444553540000}";
const wchar_t kInstallEntry[] = L"\nEnter InstallDrviver...";
const wchar_t kUninstallEntry[] = L"\nEnter UnloadDriver...";

// The full path of the system INF folder's copy of `inf` (found by its bytes),
// as the store path lines of "/u" show it; empty when there is none.
std::wstring StoreCopyOf(const std::wstring& inf) {
  const std::vector<std::wstring> copies = testing_support::SystemCopiesOf(inf);
  return copies.empty() ? std::wstring() : copies.front();
}

// What "/u" logs while both packages are in the store and come out.
std::vector<std::wstring> UninstallBothLog() {
  return {kUninstallEntry,
          L"netappl already exist: 183",
          L"inf net path: " + StoreCopyOf(testing_support::NetworkInfPath()) + L"\n",
          L"DriverPackageUninstall netaapl successed !",
          L"usbappl already exist: 183",
          L"inf usb path: " + StoreCopyOf(testing_support::UsbInfPath()) + L"\n",
          L"DriverPackageUninstall usbaapl successed !\n"};
}

// What a switch does: its exit code, its trace and its log, in order.
struct Outcome {
  DWORD exitCode;
  std::vector<std::wstring> trace;
  std::vector<std::wstring> log;
};

// Exit codes that only an exception, or the runner's kill, produces: status
// codes of the system's own facility with the error or warning severity, such
// as 0xC0000005 or 0x80000003. Nothing in the tool's tables lies there.
bool IsExceptionCode(DWORD code) {
  const DWORD top = code & 0xFFFF0000u;
  return top == 0xC0000000u || top == 0x80000000u || code == 0xDEADu;
}

// ---------------------------------------------------------------------------
// Sample devices

struct Device {
  std::wstring instanceId;
  std::wstring description;
  std::wstring friendlyName;  // empty: not set
  std::wstring manufacturer;  // empty: not set
};

const Device kPhone = {L"USB\\VID_05AC&PID_12A8\\0000111122223333", L"Fixture Mobile Device A", L"Fixture Phone",
                       L"Fixture Devices"};
const Device kKeyboard = {L"USB\\VID_046D&PID_C31C\\5&2B1E2A9&0&1", L"USB Input Device", L"",
                          L"(Standard USB Host Controller)"};

std::wstring LowerAtoZ(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

// Where the system lists the device among the USB devices (its member index),
// and its instance ID as the system gives it back.
struct Listed {
  DWORD index = 0;
  std::wstring instanceId;
  bool found = false;
};

Listed FindListed(const std::wstring& instanceId) {
  Listed listed;
  const std::vector<std::wstring> ids = device_registry::UsbInstanceIds();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (_wcsicmp(ids[i].c_str(), instanceId.c_str()) == 0) {
      listed.index = static_cast<DWORD>(i);
      listed.instanceId = ids[i];
      listed.found = true;
      break;
    }
  }
  return listed;
}

// What "/qu" traces for the device it reports. Sample devices have no driver,
// so Class and Driver cannot be read and get no trace line.
std::vector<std::wstring> QueryTrace(const Listed& listed, const Device& device) {
  const std::wstring n = std::to_wstring(listed.index);
  std::vector<std::wstring> lines = {n + L" appdev HarewareID \t = " + listed.instanceId,
                                     n + L" murvex HarewareID \t = " + LowerAtoZ(listed.instanceId),
                                     n + L" appdev ClassGuid \t = " + kUsbClassGuid,
                                     n + L" appdev DeviceDesc \t = " + device.description};
  if (!device.friendlyName.empty()) lines.push_back(n + L" appdev FriendlyName \t = " + device.friendlyName);
  if (!device.manufacturer.empty()) lines.push_back(n + L" appdev Mfg \t\t = " + device.manufacturer);
  return lines;
}

// What "/qu" logs for it: all six properties, an unreadable one as empty text.
std::vector<std::wstring> QueryLog(const Listed& listed, const Device& device) {
  const std::wstring n = std::to_wstring(listed.index);
  return {kQueryEntry,
          n + L" appdev Class \t\t = ",
          n + L" appdev ClassGuid \t = " + kUsbClassGuid,
          n + L" appdev Driver \t = ",
          n + L" appdev DeviceDesc \t = " + device.description,
          n + L" appdev FriendlyName \t = " + device.friendlyName,
          n + L" appdev Mfg \t\t = " + device.manufacturer,
          kQueryLeave};
}

// ---------------------------------------------------------------------------
// USB INF files

// An ANSI USB INF shaped like the fixture package's, with these models lines
// (each ending in CR LF) and these extra [Strings] entries.
std::string AnsiInf(const std::string& modelsLines, const std::string& strings = "") {
  return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\n"
         "ClassGuid={36FC9E60-C465-11CF-8056-444553540000}\r\nProvider=%ProviderName%\r\n"
         "DriverVer=12/01/2026,1.0.0.0\r\nCatalogFile=usbaapl64.cat\r\n\r\n"
         "[Manufacturer]\r\n%ProviderName%=Apple,NTamd64\r\n\r\n"
         "[Apple.NTamd64]\r\n" +
         modelsLines +
         "\r\n[Device_Install.NT]\r\n\r\n[Strings]\r\nProviderName=\"Fixture Devices\"\r\n"
         "Device.Desc=\"Fixture Mobile Device\"\r\n" +
         strings;
}

std::string AnsiModelsLine(const std::string& hardwareId) {
  return "%Device.Desc%=Device_Install, " + hardwareId + "\r\n";
}

const char kPhoneHardwareId[] = "USB\\VID_05AC&PID_12A8";

// The same bytes every run: a fixed linear congruential sequence.
std::string Garbage(size_t size) {
  std::string bytes(size, '\0');
  unsigned long state = 20261206ul;
  for (char& byte : bytes) {
    state = (state * 1103515245ul + 12345ul) & 0x7FFFFFFFul;
    byte = static_cast<char>((state >> 16) & 0xFF);
  }
  return bytes;
}

std::string Utf16LeWithBom(const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return bytes;
}

// A UTF-16LE USB INF (with a byte-order mark) with these models lines.
std::string Utf16LeInf(const std::wstring& modelsLines) { return Utf16LeWithBom(device_test::InfText(modelsLines)); }

// ---------------------------------------------------------------------------
// The tally of inputs tried

struct Tally {
  int inputs = 0;
  int crashes = 0;
  int hangs = 0;
};

std::wstring TallyDir() { return testing_support::ModuleDir() + L"\\corpus-tally"; }

std::wstring TallyPath(const std::string& suite, const std::string& name) {
  return TallyDir() + L"\\" + std::wstring(suite.begin(), suite.end()) + L"." + std::wstring(name.begin(), name.end()) +
         L".txt";
}

// ---------------------------------------------------------------------------
// The fixture every corpus case shares: a fresh folder holding mdsdriver.exe
// and our difxapi_x64.dll, the fixture packages at their fixed place, an
// empty store, and a tally of what ran.
// Everything it adds to the prefix (packages, system INF copies, devices) is
// taken away again.

class CorpusTest : public testing::Test {
 protected:
  void SetUp() override {
    PlaceExe(folder_.path());
    CleanStore();
    ASSERT_TRUE(testing_support::PlacePackages());
  }

  // mdsdriver.exe and our difxapi_x64.dll, side by side in `folder`.
  static void PlaceExe(const std::wstring& folder) {
    const std::wstring bin = testing_support::ModuleDir();
    ASSERT_TRUE(testing_support::CopyInto(bin + L"\\mdsdriver.exe", folder));
    ASSERT_TRUE(testing_support::CopyInto(bin + L"\\difxapi_x64.dll", folder));
  }

  // No copy of either fixture package in the system INF folder (the store).
  static void CleanStore() { testing_support::RemoveSystemCopiesOfSamples(); }

  void TearDown() override {
    // The system copies are found by the bytes of the INF that was placed.
    testing_support::RemoveSystemCopiesOf(testing_support::UsbInfPath());
    for (const std::wstring& kept : placedInfs_) testing_support::RemoveSystemCopiesOf(kept);
    CleanStore();
    testing_support::RemovePackages();
    for (const std::wstring& id : devices_) EXPECT_TRUE(device_registry::Remove(id)) << "left in the prefix";
    WriteTally();
  }

  // Registers a sample device for this test (gone again at its end). Without
  // the lower-case ID Wine's installer matches on: these cases are about what
  // the tool reads and says, and stay driverless; the device end-to-end tests
  // have the driver installed.
  void AddDevice(const Device& device) {
    device_registry::Remove(device.instanceId);  // a leftover of an aborted run
    device_registry::SampleDevice sample;
    sample.instanceId = device.instanceId;
    sample.description = device.description;
    sample.friendlyName = device.friendlyName;
    sample.manufacturer = device.manufacturer;
    sample.lowerCaseIdForWine = false;
    ASSERT_TRUE(device_registry::Register(sample)) << testing::PrintToString(device.instanceId);
    devices_.push_back(device.instanceId);
  }

  // Puts `bytes` in place of the fixture USB INF; a copy is kept so that the
  // system copies of it can be found and removed at the end.
  void PlaceUsbInf(const std::string& bytes) {
    ASSERT_TRUE(testing_support::WriteBytes(testing_support::UsbInfPath(), bytes));
    const std::wstring keep = keep_ / (L"placed" + std::to_wstring(placedInfs_.size()) + L".inf");
    ASSERT_TRUE(testing_support::WriteBytes(keep, bytes));
    placedInfs_.push_back(keep);
  }

  void PutMarker(const std::wstring& folder) {
    ASSERT_TRUE(testing_support::WriteBytes(folder + L"\\vezazez.cfg", ""));
  }

  // One input tried: the run must have finished, and not by an exception.
  void Count(const ToolRun& run, const std::wstring& what) {
    ++tally_.inputs;
    if (!run.finished) ++tally_.hangs;
    if (run.finished && IsExceptionCode(run.exitCode)) ++tally_.crashes;
    EXPECT_TRUE(run.started) << testing::PrintToString(what);
    EXPECT_TRUE(run.finished) << testing::PrintToString(what) << " hung";
    EXPECT_FALSE(IsExceptionCode(run.exitCode))
        << testing::PrintToString(what) << " ended with 0x" << std::hex << run.exitCode;
  }

  ToolRun RunIn(const std::wstring& folder, const std::wstring& arguments, DWORD timeoutMs = 60000) {
    ToolRun run = RunAsDebuggee(folder + L"\\mdsdriver.exe", arguments, folder, timeoutMs);
    Count(run, folder + L"> mdsdriver " + arguments);
    return run;
  }

  ToolRun Run(const std::wstring& arguments) { return RunIn(folder_.path(), arguments); }

  // The log records of the one run in `folder_`, then the log folder is emptied
  // for the next run.
  void ExpectLogAndClear(const std::vector<std::wstring>& messages) {
    ExpectLogFile(folder_ / L"log", messages);
    testing_support::RemoveTree(folder_ / L"log");
  }

  // Runs `which` from `folder_` and checks it against `expected` entirely:
  // exit code, trace, debugger copies of the log, and the log file.
  ToolRun Expect(const std::wstring& which, const Outcome& expected) {
    const ToolRun run = Run(which);
    EXPECT_EQ(run.exitCode, expected.exitCode) << testing::PrintToString(which);
    ExpectTrace(run, expected.trace);
    ExpectLogCopies(run, expected.log);
    ExpectLogAndClear(expected.log);
    return run;
  }

  // A USB INF in another shape that works like the fixture's: every switch
  // does what it does with the fixture, and the store ends as it began.
  void ExpectWorksLikeTheFixture() {
    const std::vector<std::wstring> logged = RunEverySwitchIn(folder_.path());
    EXPECT_EQ(RecordsOfFolder(folder_ / L"log"), ToolBytesOf(logged));
    testing_support::RemoveTree(folder_ / L"log");
    EXPECT_EQ(StoreCopyOf(testing_support::UsbInfPath()), L"");
    EXPECT_EQ(StoreCopyOf(testing_support::NetworkInfPath()), L"");
  }

  // "/qu" with the INF naming no device: only the entry and leave lines.
  void ExpectQueryFindsNothing() {
    const ToolRun run = Run(L"/qu");
    EXPECT_EQ(run.exitCode, 0u);
    ExpectTrace(run, {});
    ExpectLogCopies(run, {kQueryEntry, kQueryLeave});
    ExpectLogAndClear({kQueryEntry, kQueryLeave});
  }

  // "/qu" reporting `device`, found wherever the system lists it.
  ToolRun ExpectQueryReports(const Device& device) {
    const Listed listed = FindListed(device.instanceId);
    EXPECT_TRUE(listed.found);
    const ToolRun run = Run(L"/qu");
    EXPECT_EQ(run.exitCode, 0u);
    ExpectTrace(run, QueryTrace(listed, device));
    ExpectLogCopies(run, QueryLog(listed, device));
    ExpectLogAndClear(QueryLog(listed, device));
    return run;
  }

  // "/re" that opened the INF, copied it into the system and walked its lines.
  void ExpectRefreshSucceeds(DWORD timeoutMs = 60000) {
    const ToolRun run = RunIn(folder_.path(), L"/re", timeoutMs);
    EXPECT_EQ(run.exitCode, 1u);
    ExpectTrace(run, {});
    ExpectLogCopies(run, {kUpdateEntry, kUpdateSucceeded});
    ExpectLogAndClear({kUpdateEntry, kUpdateSucceeded});
    EXPECT_EQ(testing_support::CountSystemCopiesOf(testing_support::UsbInfPath()), 1);
  }

  // Every switch, in an order that leaves the store as it was found: "/i"
  // stores both packages, "/re" and "/qu" work on the USB one, "/u" takes
  // both out again.
  const std::vector<std::wstring> kSwitches = {L"/i", L"/re", L"/qu", L"/u"};

  // What `which` does next, with the fixture packages (or a USB INF that
  // works like the fixture's) placed and the phone attached, from wherever
  // the exe runs.
  Outcome Expected(const std::wstring& which) {
    if (!libraryLoads_ && which == L"/i") return {0, {}, {kInstallEntry, kUpdateEntry, kUpdateSucceeded}};
    if (!libraryLoads_ && which == L"/u") {
      return {0, {}, {kUninstallEntry, L"LoadLirary failed(" + std::to_wstring(libraryError_) + L")"}};
    }
    if (which == L"/i") {
      return {1,
              {},
              {kInstallEntry, L"DriverPackagePreinstall netaapl successed !",
               L"DriverPackagePreinstall usbaapl successed !", kUpdateEntry, kUpdateSucceeded}};
    }
    if (which == L"/re") return {1, {}, {kUpdateEntry, kUpdateSucceeded}};
    if (which == L"/u") return {1, {}, UninstallBothLog()};
    const Listed phone = FindListed(kPhone.instanceId);
    EXPECT_TRUE(phone.found);
    return {0, QueryTrace(phone, kPhone), QueryLog(phone, kPhone)};
  }

  // Whether the platform loads a library by this path at all (a path past
  // MAX_PATH, for one): if not, "/i" and "/u" run without it.
  void ProbeLibraryPath(const std::wstring& path) {
    HMODULE library = LoadLibraryW(path.c_str());  // the call the tool makes
    libraryError_ = library == nullptr ? static_cast<int>(GetLastError()) : 0;
    libraryLoads_ = library != nullptr;
    if (library != nullptr) FreeLibrary(library);
  }

  // Runs every switch from `folder` (holding the exe and the marker), each
  // checked against its outcome: exit code, trace, log copies. Returns the
  // log lines of all runs in order.
  std::vector<std::wstring> RunEverySwitchIn(const std::wstring& folder, const std::wstring& refusal = L"") {
    std::vector<std::wstring> logged;
    for (const std::wstring& which : kSwitches) {
      SCOPED_TRACE(testing::PrintToString(which));
      const Outcome expected = Expected(which);
      const ToolRun run = RunIn(folder, which);
      EXPECT_EQ(run.exitCode, expected.exitCode);
      ExpectTrace(run, expected.trace, expected.log.empty() ? L"" : refusal);
      ExpectLogCopies(run, expected.log);
      logged.insert(logged.end(), expected.log.begin(), expected.log.end());
    }
    return logged;
  }

  // The records of every file in `logDir`, in the order of their names (their
  // seconds), checked whole.
  static std::vector<std::string> RecordsOfFolder(const std::wstring& logDir) {
    std::vector<std::wstring> files = testing_support::ListFolder(logDir);
    std::sort(files.begin(), files.end());
    std::vector<std::string> records;
    for (const std::wstring& name : files) {
      std::string bytes;
      EXPECT_TRUE(testing_support::ReadBytes(logDir + L"\\" + name, bytes));
      const std::vector<std::string> some = RecordsOf(bytes);
      records.insert(records.end(), some.begin(), some.end());
    }
    return records;
  }

  TempDir folder_;
  TempDir keep_;
  Tally tally_;
  bool libraryLoads_ = true;  // as ProbeLibraryPath found
  int libraryError_ = 0;

 private:
  void WriteTally() {
    CreateDirectoryW(TallyDir().c_str(), nullptr);
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string text = std::to_string(tally_.inputs) + " " + std::to_string(tally_.crashes) + " " +
                             std::to_string(tally_.hangs) + "\n";
    EXPECT_TRUE(testing_support::WriteBytes(TallyPath(test->test_suite_name(), test->name()), text));
  }

  std::vector<std::wstring> devices_;
  std::vector<std::wstring> placedInfs_;
};

// ---------------------------------------------------------------------------
// USB INF variants at the fixed place, each run with "/re" and "/qu" and the
// log on. The sample phone is attached throughout.

class InfCorpusTest : public CorpusTest {
 protected:
  void SetUp() override {
    CorpusTest::SetUp();
    PutMarker(folder_.path());
    AddDevice(kPhone);
  }

  // An INF that the system will not open: "/re" exits 4 with its open-failure
  // line and copies nothing; "/qu" traces the open failure once for every
  // USB device it asks about, reports none, and exits 0. "/i" stores the
  // network package, but the USB package's preinstall fails with
  // `preinstallStatus`, which is its exit code, and its update fails as "/re"
  // does; "/u" then takes the network package out and ends with 4 for a
  // missing INF or the preinstall's status.
  void ExpectUnopenable(DWORD openError, DWORD preinstallStatus) {
    const ToolRun refresh = Run(L"/re");
    EXPECT_EQ(refresh.exitCode, 4u);
    const std::vector<std::wstring> log = {kUpdateEntry, kOpenFailed + testing_support::UsbInfPath(), kUpdateFailed};
    ExpectTrace(refresh, {});
    ExpectLogCopies(refresh, log);
    ExpectLogAndClear(log);
    EXPECT_EQ(testing_support::CountSystemCopiesOf(testing_support::UsbInfPath()), 0);

    const size_t devices = device_registry::UsbInstanceIds().size();
    ASSERT_GE(devices, 1u);
    const ToolRun query = Run(L"/qu");
    EXPECT_EQ(query.exitCode, 0u);
    const std::wstring failure = L"SetupOpenInfFile failed(" + std::to_wstring(static_cast<int>(openError)) + L")";
    ExpectTrace(query, std::vector<std::wstring>(devices, failure));
    ExpectLogCopies(query, {kQueryEntry, kQueryLeave});
    ExpectLogAndClear({kQueryEntry, kQueryLeave});

    const std::wstring status = std::to_wstring(static_cast<int>(preinstallStatus));
    Expect(L"/i", {preinstallStatus,
                   {},
                   {kInstallEntry, L"DriverPackagePreinstall netaapl successed !",
                    L"DriverPackagePreinstall usbaapl failed(" + status + L")", kUpdateEntry,
                    kOpenFailed + testing_support::UsbInfPath(), kUpdateFailed}});
    const std::vector<std::wstring> removal = UninstallBothLog();
    std::vector<std::wstring> unloadLog(removal.begin(), removal.begin() + 4);  // the network package's lines
    if (preinstallStatus == ERROR_FILE_NOT_FOUND) unloadLog.push_back(L"Driver's inf file not found, failed(2)");
    Expect(L"/u", {preinstallStatus == ERROR_FILE_NOT_FOUND ? 4u : preinstallStatus, {}, unloadLog});
    EXPECT_EQ(StoreCopyOf(testing_support::NetworkInfPath()), L"");
  }
};

TEST_F(InfCorpusTest, MissingInf) {
  ASSERT_TRUE(DeleteFileW(testing_support::UsbInfPath().c_str()));
  ExpectUnopenable(ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
}

TEST_F(InfCorpusTest, EmptyInf) {
  PlaceUsbInf("");
  ExpectUnopenable(1006, 1006);  // ERROR_FILE_INVALID
}

TEST_F(InfCorpusTest, BinaryGarbage) {
  PlaceUsbInf(Garbage(4096));
  ExpectUnopenable(0xE0000000, 0xE0000000);  // ERROR_EXPECTED_SECTION_NAME
}

TEST_F(InfCorpusTest, NoVersionSection) {
  std::string inf = AnsiInf(AnsiModelsLine(kPhoneHardwareId));
  inf.erase(0, inf.find("[Manufacturer]"));
  PlaceUsbInf(inf);
  ExpectUnopenable(0xE0000100, 0xE0000100);  // ERROR_WRONG_INF_STYLE
}

TEST_F(InfCorpusTest, InfPathIsAFolder) {
  ASSERT_TRUE(DeleteFileW(testing_support::UsbInfPath().c_str()));
  ASSERT_TRUE(CreateDirectoryW(testing_support::UsbInfPath().c_str(), nullptr));
  ExpectUnopenable(ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND);  // not a file: no INF to store
}

TEST_F(InfCorpusTest, Utf16LeWithByteOrderMark) {
  std::string fixture;
  ASSERT_TRUE(
      testing_support::ReadBytes(testing_support::FixtureDir() + L"\\packages\\Drivers\\usbaapl64.inf", fixture));
  PlaceUsbInf(Utf16LeWithBom(std::wstring(fixture.begin(), fixture.end())));
  ExpectWorksLikeTheFixture();
}

// Section names are compared without regard to case, bare LF ends a line as
// CR LF does, and the last line needs no line end.
TEST_F(InfCorpusTest, BareLineFeedsAndALowerCaseSectionName) {
  std::string fixture;
  ASSERT_TRUE(
      testing_support::ReadBytes(testing_support::FixtureDir() + L"\\packages\\Drivers\\usbaapl64.inf", fixture));
  std::string inf;
  for (char c : fixture) {
    if (c != '\r') inf += c;
  }
  const size_t section = inf.find("[Apple.NTamd64]\n");
  const size_t next = inf.find("\n[", section + 1);
  ASSERT_NE(section, std::string::npos);
  ASSERT_NE(next, std::string::npos);
  inf.erase(section, next + 1 - section);
  while (!inf.empty() && inf.back() == '\n') inf.pop_back();
  inf += std::string("\n[apple.ntamd64]\n") + AnsiModelsLine(kPhoneHardwareId).substr(0, 51);
  ASSERT_EQ(inf.back(), '8') << "ends in the hardware ID, with no line end";
  PlaceUsbInf(inf);
  ExpectWorksLikeTheFixture();
}

TEST_F(InfCorpusTest, ModelsSectionWithoutLines) {
  for (const std::string& lines : {std::string(), std::string("; only a comment\r\n\r\n;and another\r\n")}) {
    PlaceUsbInf(AnsiInf(lines));
    const ToolRun refresh = Run(L"/re");
    EXPECT_EQ(refresh.exitCode, 5u);
    ExpectTrace(refresh, {});
    ExpectLogAndClear({kUpdateEntry, kNoDescriptor, kUpdateFailed});
    EXPECT_EQ(testing_support::CountSystemCopiesOf(testing_support::UsbInfPath()), 0) << "nothing copied";

    const size_t devices = device_registry::UsbInstanceIds().size();
    const ToolRun query = Run(L"/qu");
    EXPECT_EQ(query.exitCode, 0u);
    // ERROR_LINE_NOT_FOUND (0xE0000102), printed signed.
    ExpectTrace(query, std::vector<std::wstring>(devices, L"SetupFindFirstLine failed(-536870654)"));
    ExpectLogAndClear({kQueryEntry, kQueryLeave});
  }
}

TEST_F(InfCorpusTest, FiveThousandModelsLines) {
  // 4,999 IDs that name no device, then the phone's on the very last line.
  std::string lines;
  for (int i = 0; i < 4999; ++i) {
    char id[32];
    std::snprintf(id, sizeof(id), "USB\\VID_1234&PID_%04X", i);
    lines += AnsiModelsLine(id);
  }
  lines += AnsiModelsLine(kPhoneHardwareId);
  PlaceUsbInf(AnsiInf(lines));

  const ULONGLONG start = GetTickCount64();
  ExpectRefreshSucceeds(180000);  // one driver update call per line
  const ULONGLONG refreshMs = GetTickCount64() - start;
  ExpectQueryReports(kPhone);
  std::printf("5,000 models lines: /re took %llu ms, /qu %llu ms\n", refreshMs, GetTickCount64() - start - refreshMs);
}

// Field 2 is read into 260 characters: up to 259 fit with the terminator and
// are read (and, longer than any instance ID, match nothing); from 260 on the
// read fails and the line is skipped. Either way the walk goes on to the
// phone's line behind it.
TEST_F(InfCorpusTest, LongHardwareIds) {
  for (size_t length : {258u, 259u, 260u, 1000u}) {
    SCOPED_TRACE(length);
    const std::string prefix = "USB\\VID_05AC&PID_12A8\\";
    const std::string longId = prefix + std::string(length - prefix.size(), 'F');
    PlaceUsbInf(AnsiInf(AnsiModelsLine(longId) + AnsiModelsLine(kPhoneHardwareId)));
    ExpectRefreshSucceeds();
    ExpectQueryReports(kPhone);
    testing_support::RemoveSystemCopiesOf(testing_support::UsbInfPath());
  }
}

// Only A to Z are folded: an INF ID with "\u00E9" does not name a device whose
// ID has "\u00C9" there, while one that differs from the device's ID only in
// the case of A to Z does. IDs are traced and logged whole, the characters
// above 255 as UTF-8.
TEST_F(InfCorpusTest, NonAsciiHardwareIds) {
  const Device capitals = {L"USB\\VID_05AC&PID_12A8\\T\u00C9L\u00C9PHONE\u96FB\u8A71", L"Capital accents", L"", L""};
  const Device smalls = {L"USB\\VID_05AC&PID_12AB\\t\u00E9l\u00E9phone\u96FB\u8A71", L"Small accents",
                         L"\u96FB\u8A71 \u00E9", L"Fixture Devices"};
  AddDevice(capitals);
  AddDevice(smalls);

  // Would name the capital-accent device if "\u00C9" were folded to "\u00E9".
  PlaceUsbInf(Utf16LeInf(device_test::ModelsLine(L"usb\\vid_05ac&pid_12a8\\t\u00E9l\u00E9phone\u96FB\u8A71")));
  ExpectRefreshSucceeds();
  ExpectQueryFindsNothing();
  testing_support::RemoveSystemCopiesOf(testing_support::UsbInfPath());

  PlaceUsbInf(Utf16LeInf(device_test::ModelsLine(L"usb\\vid_05ac&pid_12ab\\T\u00E9L\u00E9phone\u96FB\u8A71")));
  ExpectRefreshSucceeds();
  const ToolRun run = ExpectQueryReports(smalls);
  // Byte for byte: "\u00E9" is the one byte E9, the two CJK characters UTF-8.
  // The system keeps instance IDs with A to Z in capitals.
  EXPECT_NE(run.output.find("\\T\xE9L\xE9PHONE\xE9\x9B\xBB\xE8\xA9\xB1\r\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("\\t\xE9l\xE9phone\xE9\x9B\xBB\xE8\xA9\xB1\r\n"), std::string::npos) << run.output;
}

// "%s%n%d" in an instance ID, in field 2 (as the literal "%%s%%n%%d" and as
// raw text) and in [Strings] is data throughout: matched as text and written
// unchanged.
TEST_F(InfCorpusTest, FormatCharactersInFieldsAndStrings) {
  const Device formatted = {L"USB\\VID_05AC&PID_12A8%S%N%D\\0001", L"%s%n%d", L"100% %d %n", L"%%s"};
  AddDevice(formatted);
  PlaceUsbInf(
      AnsiInf("%Device.Desc%=Device_Install, %s%n%d\r\n"
              "%s%n%d=%s%n%d, %Fmt%\r\n"
              "%Fmt%=Device_Install, USB\\VID_05AC&PID_12A8%%s%%n%%d\r\n",
              "Fmt=\"%s%n%d\"\r\ns=\"%n%d%s\"\r\n"));
  ExpectRefreshSucceeds();
  ExpectQueryReports(formatted);
}

// An empty field 2 would be held by every instance ID; it names no device.
// A line without field 2 is skipped the same way.
TEST_F(InfCorpusTest, EmptyAndMissingHardwareIds) {
  AddDevice(kKeyboard);
  PlaceUsbInf(
      AnsiInf("%Device.Desc%=Device_Install,\r\n"
              "%Device.Desc%=Device_Install, \"\"\r\n"
              "%Device.Desc%=Device_Install\r\n"
              "%Device.Desc%\r\n"));
  ExpectRefreshSucceeds();
  ExpectQueryFindsNothing();
}

// ---------------------------------------------------------------------------
// Devices with unusual property values, reported by "/qu" with the log on.

// Stores `size` bytes as the device's property, exactly as given: no
// terminator is added.
bool SetRawProperty(const std::wstring& instanceId, DWORD property, const void* data, DWORD size) {
  HDEVINFO devices = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES);
  if (devices == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA record = {};
  record.cbSize = sizeof(record);
  const bool stored =
      SetupDiOpenDeviceInfoW(devices, instanceId.c_str(), nullptr, 0, &record) &&
      SetupDiSetDeviceRegistryPropertyW(devices, &record, property, static_cast<const BYTE*>(data), size);
  SetupDiDestroyDeviceInfoList(devices);
  return stored;
}

class DeviceCorpusTest : public CorpusTest {
 protected:
  void SetUp() override {
    CorpusTest::SetUp();
    PutMarker(folder_.path());
  }

  // The phone, registered with these properties, is the device reported.
  ToolRun ExpectReported(const Device& phone) {
    AddDevice(phone);
    return ExpectQueryReports(phone);
  }
};

TEST_F(DeviceCorpusTest, PercentSigns) {
  ExpectReported({kPhone.instanceId, L"100% %s%n%d %%", L"%n%n%n%n", L"%1$s %ls %lu %"});
}

TEST_F(DeviceCorpusTest, NonAsciiText) {
  // Latin-1 letters are one byte each; CJK and a character outside the basic
  // plane (a surrogate pair) are UTF-8; the line stays whole either way.
  const Device phone = {kPhone.instanceId, L"T\u00E9l\u00E9phone \u00FC\u00DF\u00FF", L"\u624B\u673A \U0001F4F1 \u0416",
                        L"\u00A9 Fixture \u2122"};
  const ToolRun run = ExpectReported(phone);
  EXPECT_NE(run.output.find(" = T\xE9l\xE9phone \xFC\xDF\xFF\r\n"), std::string::npos);
  EXPECT_NE(run.output.find(" = \xE6\x89\x8B\xE6\x9C\xBA \xF0\x9F\x93\xB1 \xD0\x96\r\n"), std::string::npos);
  EXPECT_NE(run.output.find(" = \xA9 Fixture \xE2\x84\xA2\r\n"), std::string::npos);
}

// 259 characters and the terminator fill the 520-byte property buffer exactly.
TEST_F(DeviceCorpusTest, PropertiesOf259Characters) {
  const std::wstring text = Repeat(L"0123456789ABCDEF%\u00E9\u96FB", 13) + L"0123456789AB";
  ASSERT_EQ(text.size(), 259u);
  ExpectReported({kPhone.instanceId, text, text, text});
}

// A value of 260 characters stored without a terminator fills the 520-byte
// buffer exactly and is read; it ends where the buffer ends, nothing past it
// is read, and the line is whole.
TEST_F(DeviceCorpusTest, PropertyFillingTheBufferWithoutTerminator) {
  AddDevice(kPhone);
  const std::wstring text = Repeat(L"0123456789", 26);
  // Not NUL behind the 520 bytes either, or the registry counts a terminator
  // in on its own.
  const std::wstring withoutTerminator = text + L"X";
  ASSERT_TRUE(SetRawProperty(kPhone.instanceId, SPDRP_FRIENDLYNAME, withoutTerminator.data(), 520));
  Device stored = kPhone;
  stored.friendlyName = text;
  ExpectQueryReports(stored);
}

// A lone surrogate is no character: it goes out as U+FFFD (EF BF BD), and the
// line stays whole around it.
TEST_F(DeviceCorpusTest, LoneSurrogates) {
  const Device phone = {kPhone.instanceId, L"high \xD83D alone", L"low \xDC4D alone", L"at the end \xD83D"};
  const ToolRun run = ExpectReported(phone);
  EXPECT_NE(run.output.find(" = high \xEF\xBF\xBD alone\r\n"), std::string::npos);
  EXPECT_NE(run.output.find(" = low \xEF\xBF\xBD alone\r\n"), std::string::npos);
  EXPECT_NE(run.output.find(" = at the end \xEF\xBF\xBD\r\n"), std::string::npos);
}

// 260 characters and the terminator do not fit: the read fails, the trace has
// no line for it and the log shows it as empty text.
TEST_F(DeviceCorpusTest, PropertyOf260CharactersIsLeftOut) {
  const Device phone = {kPhone.instanceId, L"Fixture Mobile Device A", std::wstring(260, L'N'), L"Fixture Devices"};
  AddDevice(phone);
  const Listed listed = FindListed(phone.instanceId);
  ASSERT_TRUE(listed.found);
  Device shown = phone;
  shown.friendlyName.clear();
  const ToolRun run = Run(L"/qu");
  EXPECT_EQ(run.exitCode, 0u);
  ExpectTrace(run, QueryTrace(listed, shown));
  ExpectLogAndClear(QueryLog(listed, shown));
}

// ---------------------------------------------------------------------------
// Odd places to run from and odd states of the log, for every switch.

// A spare drive letter mapped to a folder for the life of the object. Under
// Wine the mount manager's own request (the one winecfg sends) links
// dosdevices\<letter>: to the folder's Unix path; on Windows DefineDosDeviceW
// does the mapping.
class DriveMapping {
 public:
  explicit DriveMapping(const std::wstring& folder) : folder_(folder) {
    const DWORD used = GetLogicalDrives();
    for (wchar_t letter = L'Q'; letter <= L'Y' && letter_ == 0; ++letter) {
      if (used & (1u << (letter - L'A'))) continue;
      if (Define(letter, folder)) letter_ = letter;
    }
  }
  ~DriveMapping() {
    if (letter_ != 0) Define(letter_, std::wstring());
  }
  DriveMapping(const DriveMapping&) = delete;
  DriveMapping& operator=(const DriveMapping&) = delete;

  bool mapped() const { return letter_ != 0 && testing_support::Exists(root()); }
  std::wstring root() const { return std::wstring(1, letter_) + L":\\"; }

 private:
  // Maps `letter` to `folder`, or removes the mapping when `folder` is empty.
  bool Define(wchar_t letter, const std::wstring& folder) {
    typedef char*(__cdecl * UnixFileName)(const wchar_t*);
    const auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    const wchar_t device[] = {letter, L':', L'\0'};
    if (unixFileName == nullptr) {
      return folder.empty()
                 ? DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, device, folder_.c_str()) != FALSE
                 : DefineDosDeviceW(0, device, folder.c_str()) != FALSE;
    }
    std::string unixPath;
    if (!folder.empty()) {
      char* path = unixFileName(folder.c_str());
      if (path == nullptr) return false;
      unixPath = path;
      HeapFree(GetProcessHeap(), 0, path);
    }
    return DefineUnixDrive(letter, unixPath);
  }

  // Wine's IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE and its request layout.
  struct UnixDriveRequest {
    ULONG size;
    ULONG type;
    ULONG fsType;
    DWORD serial;
    ULONGLONG unixDevice;
    WCHAR letter;
    USHORT mountPointOffset;
    USHORT deviceOffset;
    USHORT labelOffset;
  };

  static bool DefineUnixDrive(wchar_t letter, const std::string& unixPath) {
    const DWORD kDefineUnixDrive =
        CTL_CODE(static_cast<DWORD>('m'), 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
    HANDLE manager = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (manager == INVALID_HANDLE_VALUE) return false;
    std::vector<char> request(sizeof(UnixDriveRequest) + unixPath.size() + 1, '\0');
    UnixDriveRequest header = {};
    header.size = static_cast<ULONG>(request.size());
    header.letter = letter;
    header.type = unixPath.empty() ? DRIVE_NO_ROOT_DIR : DRIVE_FIXED;
    header.mountPointOffset = unixPath.empty() ? 0 : static_cast<USHORT>(sizeof(UnixDriveRequest));
    std::memcpy(request.data(), &header, sizeof(header));
    std::memcpy(request.data() + sizeof(header), unixPath.c_str(), unixPath.size());
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(manager, kDefineUnixDrive, request.data(), static_cast<DWORD>(request.size()),
                                    nullptr, 0, &returned, nullptr);
    CloseHandle(manager);
    return ok != FALSE;
  }

  std::wstring folder_;
  wchar_t letter_ = 0;
};

// Log file names for every second from a little before now to a minute on,
// named as the tool names them: one of them is the name of each run started
// within that minute.
std::vector<std::wstring> LogFileNamesAroundNow() {
  std::vector<std::wstring> names;
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks = {};
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  for (int offset = -2; offset <= 60; ++offset) {
    ULARGE_INTEGER at = ticks;
    at.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(offset) * 10000000LL);
    FILETIME utc = {at.LowPart, at.HighPart};
    FILETIME local = {};
    SYSTEMTIME t = {};
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &t);
    wchar_t name[32] = {};
    swprintf(name, 32, L"%04u%02u%02u_%02u%02u%02u.log", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    names.push_back(name);
  }
  return names;
}

class EnvironmentCorpusTest : public CorpusTest {
 protected:
  void SetUp() override {
    CorpusTest::SetUp();
    AddDevice(kPhone);
  }
};

std::wstring MakeFolderOfLength(const std::wstring& parent, size_t length) {
  std::wstring folder = parent;
  int n = 0;
  while (folder.size() + 1 + 50 < length) {
    folder += L"\\" + std::wstring(48, L'd') + std::to_wstring(n++ % 10);
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  folder += L"\\" + std::wstring(length - folder.size() - 1, L'e');
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

// The exe path must stay below MAX_PATH for the system to start it, so a
// folder of 245 characters (exe path 259) is the longest the tool can run
// from; with 250 (exe path 264) the system itself refuses to start it and
// nothing of the tool runs. From 245, the library's path is 261 characters
// and the log file's 269: Wine opens such paths, so "/i" and "/u" work; where
// the platform does not, "/i" and "/u" run without the library. The records
// land only where the platform also gives such a file's final path, which
// Wine 8 does not past MAX_PATH (Windows does); elsewhere they are lost
// without a word, an empty file at most left. The test asks the platform
// which it is.
TEST_F(EnvironmentCorpusTest, ExeInAFolderOf245And250Characters) {
  const std::wstring tooLong = MakeFolderOfLength(folder_.path(), 250);
  ASSERT_EQ(tooLong.size(), 250u);
  PlaceExe(tooLong);
  EXPECT_FALSE(RunAsDebuggee(tooLong + L"\\mdsdriver.exe", L"/re", tooLong).started);

  const std::wstring folder = MakeFolderOfLength(folder_.path(), 245);
  ASSERT_EQ(folder.size(), 245u);
  PlaceExe(folder);
  PutMarker(folder);

  const std::wstring logDir = folder + L"\\log";
  const std::wstring probe = logDir + L"\\00000000_000000.log";
  ASSERT_EQ(probe.size(), 269u);
  CreateDirectoryW(logDir.c_str(), nullptr);
  bool longPathsOpen = testing_support::WriteBytes(probe, "");
  if (longPathsOpen) {
    const HANDLE file = CreateFileW(probe.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    wchar_t finalPath[1024] = {};
    longPathsOpen = GetFinalPathNameByHandleW(file, finalPath, 1024, 0) != 0;
    CloseHandle(file);
  }
  testing_support::RemoveTree(logDir);
  ProbeLibraryPath(folder + L"\\difxapi_x64.dll");

  const std::vector<std::wstring> logged =
      RunEverySwitchIn(folder, longPathsOpen ? L"" : L".log: what it is cannot be told (0)");  // no final path
  EXPECT_EQ(RecordsOfFolder(logDir), longPathsOpen ? ToolBytesOf(logged) : std::vector<std::string>{});
  EXPECT_EQ(testing_support::ListFolder(folder).size(), 4u) << "mdsdriver.exe, difxapi_x64.dll, vezazez.cfg, log";
}

// In a drive root the module folder is the bare drive: the marker is looked
// for in the root and the log is the root's "log" folder.
TEST_F(EnvironmentCorpusTest, ExeInADriveRoot) {
  TempDir rootFolder;
  DriveMapping drive(rootFolder.path());
  ASSERT_TRUE(drive.mapped()) << "no spare drive letter could be mapped";
  const std::wstring root = drive.root();
  PlaceExe(root.substr(0, 2));
  ASSERT_TRUE(testing_support::WriteBytes(root + L"vezazez.cfg", ""));

  const std::vector<std::wstring> logged = RunEverySwitchIn(root.substr(0, 2));
  EXPECT_EQ(RecordsOfFolder(root + L"log"), ToolBytesOf(logged));
  std::vector<std::wstring> names = testing_support::ListFolder(rootFolder.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"difxapi_x64.dll", L"log", L"mdsdriver.exe", L"vezazez.cfg"}));
}

// A file named "log" where the folder should be: the folder cannot be made,
// no record can be written, and the runs go on, their debugger copies sent.
TEST_F(EnvironmentCorpusTest, LogThatIsAFile) {
  PutMarker(folder_.path());
  const std::string content = "not a folder\r\n";
  ASSERT_TRUE(testing_support::WriteBytes(folder_ / L"log", content));
  RunEverySwitchIn(folder_.path(), L"\\log: it cannot be opened (267)");  // ERROR_DIRECTORY
  std::string after;
  ASSERT_TRUE(testing_support::ReadBytes(folder_ / L"log", after));
  EXPECT_EQ(after, content);
  EXPECT_EQ(testing_support::ListFolder(folder_.path()).size(), 4u)
      << "mdsdriver.exe, difxapi_x64.dll, vezazez.cfg, log";
}

// The run's log file is read-only. Windows refuses to open it for writing,
// and the records are lost without a word. Wine, running as root here, lets
// root write a read-only file as Unix does: the records are appended, whole,
// behind what the file held. The test asks the platform which rule it keeps.
TEST_F(EnvironmentCorpusTest, ReadOnlyLogFile) {
  PutMarker(folder_.path());
  const std::wstring logDir = folder_ / L"log";
  ASSERT_TRUE(CreateDirectoryW(logDir.c_str(), nullptr));
  const std::string content = "2026-12-06 07:27:45\tkept\n\r\n";
  const std::vector<std::wstring> names = LogFileNamesAroundNow();
  for (const std::wstring& name : names) {
    ASSERT_TRUE(testing_support::WriteBytes(logDir + L"\\" + name, content));
    ASSERT_TRUE(SetFileAttributesW((logDir + L"\\" + name).c_str(), FILE_ATTRIBUTE_READONLY));
  }
  HANDLE probe = CreateFileW((logDir + L"\\" + names[0]).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool readOnlyKept = probe == INVALID_HANDLE_VALUE;
  if (!readOnlyKept) CloseHandle(probe);

  const std::vector<std::wstring> logged =
      RunEverySwitchIn(folder_.path(), readOnlyKept ? L".log: it cannot be opened (5)" : L"");

  std::vector<std::wstring> after = testing_support::ListFolder(logDir);
  std::sort(after.begin(), after.end());
  EXPECT_EQ(after, names) << "no other file made";
  std::vector<std::string> written;
  for (const std::wstring& name : names) {
    EXPECT_NE(GetFileAttributesW((logDir + L"\\" + name).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    std::string bytes;
    ASSERT_TRUE(testing_support::ReadBytes(logDir + L"\\" + name, bytes));
    ASSERT_EQ(bytes.compare(0, content.size(), content), 0) << "what the file held stays";
    const std::vector<std::string> records = RecordsOf(bytes.substr(content.size()));
    written.insert(written.end(), records.begin(), records.end());
  }
  if (readOnlyKept) {
    EXPECT_EQ(written, std::vector<std::string>{});
  } else {
    EXPECT_EQ(written, ToolBytesOf(logged));
  }
}

// The run's log file is held open by another process that shares nothing:
// every record is lost without a word, and the runs go on unchanged.
TEST_F(EnvironmentCorpusTest, LogFileHeldOpenWithoutSharing) {
  PutMarker(folder_.path());
  const std::wstring logDir = folder_ / L"log";
  ASSERT_TRUE(CreateDirectoryW(logDir.c_str(), nullptr));
  std::vector<HANDLE> held;
  for (const std::wstring& name : LogFileNamesAroundNow()) {
    HANDLE file = CreateFileW((logDir + L"\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    held.push_back(file);
  }
  RunEverySwitchIn(folder_.path(), L".log: it cannot be opened (32)");  // ERROR_SHARING_VIOLATION
  for (HANDLE file : held) {
    LARGE_INTEGER size = {};
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 0);
    CloseHandle(file);
  }
}

// A folder whose name holds "%s%n%d" and characters above 255: a path is data
// to the log as to everything else.
TEST_F(EnvironmentCorpusTest, ExeInAFolderNamedWithFormatCharactersAndNonAscii) {
  const std::wstring folder = folder_ / L"%s%n%d \u96FB\u8A71 \u00E9%";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  PlaceExe(folder);
  PutMarker(folder);
  const std::vector<std::wstring> logged = RunEverySwitchIn(folder);
  EXPECT_EQ(RecordsOfFolder(folder + L"\\log"), ToolBytesOf(logged));
}

// "/re" and "/qu" started together from one folder, several times over,
// write to the same log folder, and to one file whenever their first lines
// fall within the same second. Every record of both comes out whole, and each
// run's records in its own order.
TEST_F(EnvironmentCorpusTest, TwoRunsLoggingAtOnce) {
  PutMarker(folder_.path());
  const Outcome refresh = Expected(L"/re");
  const Outcome query = Expected(L"/qu");
  const int kRounds = 6;
  const std::wstring exe = folder_ / L"mdsdriver.exe";
  for (int round = 0; round < kRounds; ++round) {
    ToolRun refreshRun;
    ToolRun queryRun;
    std::thread other([&] { queryRun = RunAsDebuggee(exe, L"/qu", folder_.path()); });
    refreshRun = RunAsDebuggee(exe, L"/re", folder_.path());
    other.join();
    Count(refreshRun, L"/re alongside /qu");
    Count(queryRun, L"/qu alongside /re");
    EXPECT_EQ(refreshRun.exitCode, refresh.exitCode);
    EXPECT_EQ(queryRun.exitCode, query.exitCode);
    ExpectTrace(refreshRun, refresh.trace);
    ExpectTrace(queryRun, query.trace);
    ExpectLogCopies(refreshRun, refresh.log);
    ExpectLogCopies(queryRun, query.log);
  }

  // Each record belongs to the run whose messages hold it; the two sets share
  // no message.
  const std::vector<std::string> refreshRecords = ToolBytesOf(refresh.log);
  std::vector<std::string> ofRefresh;
  std::vector<std::string> ofQuery;
  for (const std::string& record : RecordsOfFolder(folder_ / L"log")) {
    const bool isRefresh = std::find(refreshRecords.begin(), refreshRecords.end(), record) != refreshRecords.end();
    (isRefresh ? ofRefresh : ofQuery).push_back(record);
  }
  std::vector<std::string> wantRefresh;
  std::vector<std::string> wantQuery;
  for (int round = 0; round < kRounds; ++round) {
    const std::vector<std::string> r = ToolBytesOf(refresh.log);
    const std::vector<std::string> q = ToolBytesOf(query.log);
    wantRefresh.insert(wantRefresh.end(), r.begin(), r.end());
    wantQuery.insert(wantQuery.end(), q.begin(), q.end());
  }
  EXPECT_EQ(ofRefresh, wantRefresh);
  EXPECT_EQ(ofQuery, wantQuery);
}

}  // namespace

// ---------------------------------------------------------------------------
// The figure for the whole corpus. Run by ctest after every corpus case (a
// fixture dependency), it adds up the tallies they left and clears them.
TEST(CorpusSummary, NoInputCrashedOrHung) {
  Tally total;
  int cases = 0;
  const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
  for (int s = 0; s < unit.total_test_suite_count(); ++s) {
    const testing::TestSuite& suite = *unit.GetTestSuite(s);
    if (std::string(suite.name()) == "CorpusSummary") continue;
    for (int t = 0; t < suite.total_test_count(); ++t) {
      const testing::TestInfo& test = *suite.GetTestInfo(t);
      std::string text;
      const std::wstring path = TallyPath(suite.name(), test.name());
      EXPECT_TRUE(testing_support::ReadBytes(path, text)) << suite.name() << "." << test.name() << " left no tally";
      Tally tally;
      EXPECT_EQ(std::sscanf(text.c_str(), "%d %d %d", &tally.inputs, &tally.crashes, &tally.hangs), 3) << text;
      EXPECT_GT(tally.inputs, 0) << suite.name() << "." << test.name() << " ran nothing";
      total.inputs += tally.inputs;
      total.crashes += tally.crashes;
      total.hangs += tally.hangs;
      ++cases;
    }
  }
  testing_support::RemoveTree(TallyDir());
  std::printf("corpus: %d inputs tried in %d cases, %d crashes, %d hangs\n", total.inputs, cases, total.crashes,
              total.hangs);
  EXPECT_EQ(total.crashes, 0);
  EXPECT_EQ(total.hangs, 0);
}
