// Verification: a file's existence, size and SHA-256 digest against its entry.
#pragma once

#include "install_paths.h"

#include <string>

namespace tolvek {

bool VerifyFile(const std::wstring& localPath, const FileEntry& entry,
                const std::wstring& displayName, std::wstring* errorText);
// 64 upper-case hexadecimal digits, or empty on failure (with a text).
std::wstring ComputeFileSha256(const std::wstring& path, std::wstring* errorText);

}  // namespace tolvek
