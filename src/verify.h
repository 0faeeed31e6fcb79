// Verification: a file's existence, size and SHA-256 digest against its entry.
#pragma once

#include "cancel.h"
#include "failure.h"
#include "manifest_model.h"
#include "run_context.h"

#include <array>
#include <string>
#include <string_view>

namespace tolvek {

// The digest is read into the run's buffer; a cancel seen between two blocks ends
// it as a cancellation.
Outcome VerifyFile(const RunContext& run, const std::wstring& localPath, const FileEntry& entry,
                   std::wstring_view displayName);
// The digest of the file, or a failure; `cancel` (when given) is read before every block.
Outcome ComputeFileSha256(const std::wstring& path, RunBuffer& buffer, const CancelSignal* cancel,
                          Sha256Digest& digest);

// The SHA-256 of bytes in memory; false when the platform's hashing fails.
bool ComputeSha256(std::string_view bytes, Sha256Digest& digest);
// The digest of a text's UTF-16 code units, as 64 upper-case hexadecimal digits;
// empty when the platform cannot hash.
std::wstring TextSha256(const std::wstring& text);

}  // namespace tolvek
