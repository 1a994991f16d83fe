// The deployments' record: one line per "/deploy" and "/undeploy" in
// %ProgramData%\mdsdriver\deploy.log, in a folder that only SYSTEM and the
// administrators may change. A folder anyone else owns or may write to is
// refused: the line is not written, a trace line says why, and the run's
// answer stands.
#pragma once

#include <cstddef>
#include <string>

namespace fleet {

// The folder's place under %ProgramData%, and the record's name in it.
extern const wchar_t kDeployFolderName[];
extern const wchar_t kDeployRecordName[];

// Appends `line` (without its line end). False when it was not written.
bool AppendDeployRecord(const std::wstring& line);

// Whether the record that the earlier commands (0.2.x) kept in the same file
// tells of an install that no uninstall followed: their lines read
// "<date> <time> install 0 installed ..." and "... uninstall 0 uninstalled
// ...". Believed only when the file is no link, has no other name, and
// nobody but SYSTEM and the administrators owns it or may change it: users
// may make the folder and write such a line themselves.
bool EarlierInstallRecorded();

// A record longer than this is not believed (the commands wrote about 60
// bytes a run).
constexpr std::size_t kEarlierRecordLimit = std::size_t{16} * 1024 * 1024;

}  // namespace fleet
