// What the deployments published into the driver store: one record per copy
// in HKLM\SOFTWARE\mdsdriver\Copies, which only administrators can write,
// and the marker that a deployment has run here. A record names one file,
// not one content: Windows gives a freed oem<N>.inf name again, and the
// maker's copy of the same package has the same bytes, so a copy is ours
// only while the file under its name is the very file recorded.
#pragma once

#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/win.h"
#include "store_copies.h"

namespace fleet {

// Which file a path names: its volume, its file index and its creation time.
// A republished copy under a freed name is another file, even where the file
// system gives the freed index again.
struct FileStamp {
  std::wstring id;       // "<volume serial>-<file index>", hex
  std::wstring created;  // the creation time, hex
  bool operator==(const FileStamp& other) const { return id == other.id && created == other.created; }
};

// ERROR_SUCCESS with the file's stamp, ERROR_FILE_NOT_FOUND when no file
// has that name, or why it cannot be told. Asks only for attributes, which
// another process's open without sharing does not refuse.
DWORD StampOf(const std::wstring& path, FileStamp& stamp);

struct OwnedCopy {
  std::wstring publishedName;  // e.g. oem12.inf
  std::wstring package;        // "network" or "usb"
  std::wstring originalName, catalogName, classGuid, driverVersion;
  std::wstring hash;      // of its bytes (FileHash)
  bool adopted = false;   // taken over from an earlier release that kept no records
  FileStamp stamp;        // empty in a record an earlier release wrote
  std::wstring run;       // the run that published or adopted it
  FILETIME written = {};  // when the record was last written (read only)
};

// Under HKEY_LOCAL_MACHINE.
extern const wchar_t kOwnershipKey[];

// Every record; none when the key is not there. ERROR_SUCCESS, or why the
// records could not be read.
DWORD ReadOwnedCopies(std::vector<OwnedCopy>& copies);
DWORD RecordOwnedCopy(const OwnedCopy& copy);
// ERROR_SUCCESS also when there was no such record.
DWORD DropOwnedCopy(const std::wstring& publishedName);

// Whether the file under a record's name is the copy it recorded.
enum class Holds { kRecorded, kGone, kOther, kUnknown };
// `path` is the copy's place in the system INF folder; `why` is set for
// kUnknown. For a record an earlier release wrote (no stamp), the copy must
// hold the recorded bytes and be no younger than the record; then `upgraded`
// gets the record with its stamp, to be written back.
Holds CheckRecord(const OwnedCopy& record, const std::wstring& path, DWORD& why, OwnedCopy* upgraded = nullptr);

// Whether a record owns `copy`, a copy of `package` read from the store.
bool IsOwned(const difx::StoreCopy& copy, const wchar_t* package);

// The marker a successful deployment leaves, even when it added nothing:
// from then on this PC's ownership is known from records alone, and nothing
// is adopted. ERROR_SUCCESS, or why it cannot be written.
DWORD MarkDeployed(const wchar_t* version);
// True also when it cannot be told.
bool DeployedBefore();

// Whether a deployment has kept records here, now or before: the key stays
// when its last record is dropped. True also when that cannot be told.
bool OwnershipKeyExists();

// The file's size and a 64-bit FNV-1a hash of its bytes, as hex; empty when
// it cannot be read. Enough to tell one package's bytes from another's; the
// INF folder and the records are administrators' alone, so it guards against
// accidents, not against an attacker.
std::wstring FileHash(const std::wstring& path);

// The registry key under HKEY_LOCAL_MACHINE, opened in the 64-bit view.
DWORD OpenMachineKey(const std::wstring& path, REGSAM access, HKEY& key);
// A REG_SZ value, or empty.
std::wstring ReadText(HKEY key, const wchar_t* name);
// Sets REG_SZ values in order; ERROR_SUCCESS or the first failure.
DWORD WriteTexts(HKEY key, const wchar_t* const* names, const std::wstring* texts, std::size_t count);
// Calls visit(name, key) for each subkey of the key at `path`, opened for
// reading its values, until one answers other than ERROR_SUCCESS. No key at
// `path` has no subkeys. ERROR_SUCCESS, or the first failure.
template <typename Visit>
DWORD ForEachMachineSubkey(const std::wstring& path, Visit visit);

// Deletes a key that has no subkeys, in the 64-bit view; ERROR_SUCCESS also
// when it was not there.
DWORD DeleteMachineKey(const std::wstring& path);

// The listing for ForEachMachineSubkey: the subkey's name at `index`;
// ERROR_NO_MORE_ITEMS past the last.
DWORD MachineSubkeyName(HKEY key, DWORD index, std::wstring& name);

template <typename Visit>
DWORD ForEachMachineSubkey(const std::wstring& path, Visit visit) {
  HKEY opened = nullptr;
  DWORD status = OpenMachineKey(path, KEY_READ, opened);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  const platform::unique_hkey root(opened);
  for (DWORD index = 0;; ++index) {
    std::wstring name;
    status = MachineSubkeyName(root.get(), index, name);
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    HKEY child = nullptr;
    std::wstring childPath = path;
    childPath += L'\\';
    childPath += name;
    if (status == ERROR_SUCCESS) status = OpenMachineKey(childPath, KEY_QUERY_VALUE, child);
    if (status != ERROR_SUCCESS) return status;
    const platform::unique_hkey key(child);
    status = visit(name, key.get());
    if (status != ERROR_SUCCESS) return status;
  }
}

}  // namespace fleet
