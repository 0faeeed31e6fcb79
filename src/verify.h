// Verification: a file's existence, size and SHA-256 digest against its entry.
#pragma once

#include "install_paths.h"
#include "run_buffer.h"

#include <array>
#include <string>
#include <string_view>

namespace tolvek {

// The digest is read into the run's buffer; a cancel seen between two blocks ends
// it with "Cancelled by user".
bool VerifyFile(const std::wstring& localPath, const FileEntry& entry, const std::wstring& displayName,
                RunBuffer& buffer, std::wstring* errorText);
// 64 upper-case hexadecimal digits, or empty on failure (with a text).
std::wstring ComputeFileSha256(const std::wstring& path, RunBuffer& buffer, std::wstring* errorText);

// The SHA-256 of bytes in memory; false when the platform's hashing fails.
using Sha256Digest = std::array<unsigned char, 32>;
bool ComputeSha256(std::string_view bytes, Sha256Digest& digest);

// For callers outside a run: a buffer of their own for this call, no cancellation.
bool VerifyFile(const std::wstring& localPath, const FileEntry& entry,
                const std::wstring& displayName, std::wstring* errorText);
std::wstring ComputeFileSha256(const std::wstring& path, std::wstring* errorText);

}  // namespace tolvek
