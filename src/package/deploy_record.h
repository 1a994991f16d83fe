// The deployments' record: one line per "/deploy" and "/undeploy" in
// %ProgramData%\mdsdriver\deploy.log, in a folder that only SYSTEM and the
// administrators may change. A folder anyone else owns or may write to is
// refused: the line is not written, a trace line says why, and the run's
// answer stands.
#pragma once

#include <string>

namespace package {

// The folder's place under %ProgramData%, and the record's name in it.
extern const wchar_t kDeployFolderName[];
extern const wchar_t kDeployRecordName[];

// Appends `line` (without its line end). False when it was not written.
bool AppendDeployRecord(const std::wstring& line);

}  // namespace package
