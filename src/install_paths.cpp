// PENDING: file entries and path rules arrive with the JSON work.
#include "install.h"
namespace tolvek {
FileEntry ReadFileEntry(const JsonValue&) { return FileEntry(); }
std::wstring ToForwardSlashes(const std::wstring& p) { return p; }
bool IsSafeRelativePath(const std::wstring&) { return false; }
std::wstring JoinPath(const std::wstring& d, const std::wstring& r) { return d + L"\\" + r; }
std::wstring FullPath(const std::wstring& p) { return p; }
bool EscapesTargetDirectory(const std::wstring&, const std::wstring&) { return true; }
bool IsProtectedInstallerArtifact(const std::wstring&) { return false; }
}
