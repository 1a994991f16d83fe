// What the deployments added to the driver store: one record per copy in
// HKLM\SOFTWARE\mdsdriver\Copies, which only administrators can write. A
// copy is ours only while its name, identity and bytes agree with its record:
// Windows reuses an oem<N>.inf name once the copy is gone.
#pragma once

#include <string>
#include <vector>

#include "platform/win.h"
#include "store_copies.h"

namespace fleet {

struct OwnedCopy {
  std::wstring publishedName;  // e.g. oem12.inf
  std::wstring package;        // "network" or "usb"
  std::wstring originalName, catalogName, classGuid, driverVersion;
  std::wstring hash;     // of its bytes (FileHash)
  bool adopted = false;  // taken over from an earlier deployment that kept no records
};

// Under HKEY_LOCAL_MACHINE.
extern const wchar_t kOwnershipKey[];

// Every record; none when the key is not there. ERROR_SUCCESS, or why the
// records could not be read.
DWORD ReadOwnedCopies(std::vector<OwnedCopy>& copies);
DWORD RecordOwnedCopy(const OwnedCopy& copy);
// ERROR_SUCCESS also when there was no such record.
DWORD DropOwnedCopy(const std::wstring& publishedName);

// Whether a deployment has kept records here, now or before: the key stays
// when its last record is dropped. True also when that cannot be told.
bool OwnershipKeyExists();

// Whether a record owns `copy`, a copy of `package` read from the store.
bool IsOwned(const difx::StoreCopy& copy, const wchar_t* package);

// The file's size and a 64-bit FNV-1a hash of its bytes, as hex; empty when
// it cannot be read. Enough to tell a reused name's new copy from the one
// recorded; the INF folder and the records are administrators' alone, so it
// guards against accidents, not against an attacker.
std::wstring FileHash(const std::wstring& path);

}  // namespace fleet
