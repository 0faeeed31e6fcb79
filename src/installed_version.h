// The version a verified start last installed into a target. A replayed manifest
// of an older version carries the publisher's own signature, so only a record of
// what was installed can refuse it. The record lives in the target itself: it
// describes the files there, outlives the setup program's temporary folders, and
// goes when the target goes.
#pragma once

#include "failure.h"
#include "install_paths.h"
#include "version_record.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvek {

inline constexpr wchar_t kInstalledVersionFileName[] = L"tolvek_installed_version.txt";

std::wstring InstalledVersionPath(const std::wstring& targetDirectory);

// The version the target's record holds, logged. A missing, unreadable or garbled
// record means nothing is installed yet.
std::optional<int64_t> ReadInstalledVersion(const std::wstring& targetDirectory);

// Refuses (Untrusted) a manifest older than the installed version with
// "Manifest version older than installed: " + offered + " < " + installed. An
// equal version is a repair, and accepted.
Outcome CheckNotOlder(int64_t offered, std::optional<int64_t> installed);

// Replaces the record through its temporary file, after a verified run installed
// everything. A failure is logged and leaves the previous record as it was.
void RecordInstalledVersion(const std::wstring& targetDirectory, int64_t version);

// The record and its temporary file: no entry may be written over them, whatever
// the start, or a manifest could choose the version a later verified start accepts.
void ClaimInstalledVersionRecord(ClaimedPaths& claimed, const std::wstring& targetDirectory);

}  // namespace tolvek
