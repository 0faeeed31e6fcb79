// The rules a manifest's key must pass before it may become a path: what a key
// may spell, the names Windows cannot hold, and the setup program's own files that
// an install never touches. Pure functions over text; where a key lands on the
// disk is decided by install_paths.h.
#pragma once

#include <string>
#include <string_view>

namespace tolvek {

// What a refused key is reported as, followed by the key.
inline constexpr wchar_t kInvalidPathInManifest[] = L"Invalid file path in manifest: ";

// A syntactic first line of defence: no empty, rooted or drive key, no ".." that
// climbs, no stream, no unpaired surrogate. EscapesTargetDirectory decides the rest.
bool IsSafeRelativePath(std::wstring_view key);
// The setup program's own uninstaller files ("unins*.exe", ".dat", ".msg").
bool IsProtectedInstallerArtifact(std::wstring_view key);
// Whether every component of the key is a name Windows can hold: none of * ? < > | "
// or U+0000-U+001F, and no reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9,
// CONIN$, CONOUT$, in any case, with any extension and trailing blanks and dots).
bool IsWindowsFileName(std::wstring_view key);
// The part of a key the platform sees: a path is read only up to its first NUL.
std::wstring_view SeenByPlatform(std::wstring_view key);

// Where a destination's file is downloaded before it is moved into place.
std::wstring TemporaryPath(const std::wstring& destination);
inline constexpr size_t kTemporarySuffixLength = 9;  // ".download"
// The longest path the platform converts for a file call: its native form counts
// bytes in 16 bits.
inline constexpr size_t kLongestPlatformPath = 32767;

}  // namespace tolvek
