// PENDING: verification arrives with the verification work.
#include "verify.h"
namespace tolvek {
bool VerifyFile(const std::wstring&, const FileEntry&, const std::wstring&, std::wstring*) { return false; }
}
