// The system INF folder as difxapi_x64.dll sees it: a package is in the store
// when an INF file there holds the same bytes as the package's INF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/difx_api.h"

namespace difx {

// The full form of `path`, or empty when it cannot be made absolute.
std::wstring FullPath(const wchar_t* path);

// True for an existing file that is not a folder.
bool IsFile(const std::wstring& path);

// The system INF folder, e.g. C:\Windows\inf.
std::wstring SystemInfFolder();

// True when `path` names an entry directly inside `folder` (case ignored).
bool IsDirectlyInside(const std::wstring& path, const std::wstring& folder);

// The full path of the first *.inf in the system INF folder whose bytes equal
// those of `inf`, or empty when there is none. Nothing is copied or changed.
std::wstring FindStoreCopy(const std::wstring& inf);

// The full paths of up to `most` INF files in the system INF folder whose
// bytes equal those of `inf` (`inf` itself among them when it lies there).
std::vector<std::wstring> FindStoreCopies(const std::wstring& inf, std::size_t most = SIZE_MAX);

}  // namespace difx
