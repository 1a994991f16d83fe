// The journal's entries: one key each under HKLM\SOFTWARE\mdsdriver\Journal,
// written whole before the change it announces.
#include "fleet/journal.h"

#include <cstddef>

#include "inf_store.h"
#include "platform/handles.h"

namespace fleet {
namespace {

using platform::Sys;

const wchar_t kJournalKey[] = L"SOFTWARE\\mdsdriver\\Journal";
const wchar_t* const kValues[] = {L"Kind",   L"Package", L"Run",    L"Source", L"Hash",
                                  L"Before", L"Copy",    L"FileId", L"Created"};
constexpr std::size_t kValueCount = sizeof(kValues) / sizeof(kValues[0]);

// File names hold no '|'; the list is one value, so it is written at once.
std::wstring Joined(const std::vector<std::wstring>& names) {
  std::wstring text;
  for (const std::wstring& name : names) text += (text.empty() ? L"" : L"|") + name;
  return text;
}

std::vector<std::wstring> Split(const std::wstring& text) {
  std::vector<std::wstring> names;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t bar = text.find(L'|', start);
    if (bar == std::wstring::npos) bar = text.size();
    names.push_back(text.substr(start, bar - start));
    start = bar + 1;
  }
  return names;
}

}  // namespace

std::wstring EntryName(const Intent& intent) {
  return intent.kind == Intent::Kind::kPublish ? L"publish " + intent.package : L"remove " + intent.publishedName;
}

DWORD WriteIntent(const Intent& intent) {
  HKEY created = nullptr;
  const std::wstring path = std::wstring(kJournalKey) + L"\\" + EntryName(intent);
  const LSTATUS status = Sys().RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                               KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &created, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  const platform::unique_hkey key(created);
  // The kind last: an entry killed half-written has none, and counts as
  // never written (its change was not begun).
  const std::wstring texts[] = {intent.kind == Intent::Kind::kPublish ? L"publish" : L"remove",
                                intent.package,
                                intent.run,
                                intent.source,
                                intent.hash,
                                Joined(intent.before),
                                intent.publishedName,
                                intent.stamp.id,
                                intent.stamp.created};
  const DWORD rest = WriteTexts(key.get(), kValues + 1, texts + 1, kValueCount - 1);
  return rest != ERROR_SUCCESS ? rest : WriteTexts(key.get(), kValues, texts, 1);
}

DWORD SettleIntent(const Intent& intent) {
  return DeleteMachineKey(std::wstring(kJournalKey) + L"\\" + EntryName(intent));
}

DWORD ReadIntents(std::vector<Intent>& intents) {
  intents.clear();
  return ForEachMachineSubkey(kJournalKey, [&](const std::wstring& name, HKEY entry) {
    Intent intent;
    const std::wstring kind = ReadText(entry, kValues[0]);
    intent.kind = kind == L"remove" ? Intent::Kind::kRemove : Intent::Kind::kPublish;
    intent.package = ReadText(entry, kValues[1]);
    intent.run = ReadText(entry, kValues[2]);
    intent.source = ReadText(entry, kValues[3]);
    intent.hash = ReadText(entry, kValues[4]);
    intent.before = Split(ReadText(entry, kValues[5]));
    intent.publishedName = ReadText(entry, kValues[6]);
    intent.stamp.id = ReadText(entry, kValues[7]);
    intent.stamp.created = ReadText(entry, kValues[8]);
    if (kind.empty()) {
      // Half-written: its change was never begun, and it matches no copy.
      // It goes under the name it has.
      intent = Intent();
      intent.kind = name.compare(0, 7, L"remove ") == 0 ? Intent::Kind::kRemove : Intent::Kind::kPublish;
      (intent.kind == Intent::Kind::kRemove ? intent.publishedName : intent.package) = name.substr(name.find(L' ') + 1);
    }
    intents.push_back(intent);
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
}

DWORD ListInfFolder(std::vector<std::wstring>& names) {
  names.clear();
  std::wstring folder;
  const DWORD status = difx::SystemInfFolder(folder);
  if (status != ERROR_SUCCESS) return status;
  WIN32_FIND_DATAW entry = {};
  const platform::unique_find find(Sys().FindFirstFileW((folder + L"\\*.inf").c_str(), &entry));
  if (!find) {
    // Nothing in the folder (the system documents "file not found" for that).
    const DWORD error = Sys().GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES ? static_cast<DWORD>(ERROR_SUCCESS)
           : error != ERROR_SUCCESS                                      ? error
                                                                         : static_cast<DWORD>(ERROR_GEN_FAILURE);
  }
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(entry.cFileName);
  } while (Sys().FindNextFileW(find.get(), &entry));
  // A listing that stops early is not the whole folder.
  const DWORD ended = Sys().GetLastError();
  return ended == ERROR_NO_MORE_FILES ? static_cast<DWORD>(ERROR_SUCCESS)
         : ended != ERROR_SUCCESS     ? ended
                                      : static_cast<DWORD>(ERROR_GEN_FAILURE);
}

}  // namespace fleet
