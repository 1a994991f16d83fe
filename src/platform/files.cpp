// Opening a file relative to a held folder.
#include "platform/files.h"

namespace platform {

unique_file OpenInFolder(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                         ULONG options, NTSTATUS& status) {
  UNICODE_STRING relative = {};
  relative.Buffer = const_cast<wchar_t*>(name.c_str());
  relative.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  relative.MaximumLength = relative.Length;
  OBJECT_ATTRIBUTES where = {};
  where.Length = sizeof(where);
  where.RootDirectory = root;
  where.ObjectName = &relative;
  where.Attributes = OBJ_CASE_INSENSITIVE;
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  status = Sys().NtCreateFile(&handle, access, &where, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                              options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
  return unique_file(status >= 0 ? handle : INVALID_HANDLE_VALUE);  // success statuses are not negative
}

}  // namespace platform
