// Verification: a file's existence, size and SHA-256 digest against its entry.
#pragma once

#include "failure.h"
#include "install_paths.h"
#include "run_buffer.h"
#include "support.h"

#include <array>
#include <string>
#include <string_view>

namespace tolvek {

// The digest is read into the run's buffer; a cancel seen between two blocks ends
// it as a cancellation.
Outcome VerifyFile(const std::wstring& localPath, const FileEntry& entry,
                   const std::wstring& displayName, RunBuffer& buffer, const CancelSignal& cancel);
// 64 upper-case hexadecimal digits, or empty with `failure` set.
std::wstring ComputeFileSha256(const std::wstring& path, RunBuffer& buffer,
                               const CancelSignal& cancel, Outcome& failure);

// The SHA-256 of bytes in memory; false when the platform's hashing fails.
using Sha256Digest = std::array<unsigned char, 32>;
bool ComputeSha256(std::string_view bytes, Sha256Digest& digest);

// For callers outside a run: a buffer of their own for this call, no cancellation.
Outcome VerifyFile(const std::wstring& localPath, const FileEntry& entry,
                   const std::wstring& displayName);
std::wstring ComputeFileSha256(const std::wstring& path, Outcome& failure);
// The digest of a text's UTF-16 code units, as 64 upper-case hexadecimal digits;
// empty when the platform cannot hash.
std::wstring TextSha256(const std::wstring& text);

}  // namespace tolvek
