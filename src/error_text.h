// The texts of the platform's error codes, as every failure message ends.
#pragma once

#include <windows.h>

#include <string>

namespace tolvek {

// The platform's text for a Win32 or WinHTTP code (0 = the thread's last error); may be empty.
std::wstring Win32ErrorText(DWORD code);
// Like Win32ErrorText but "timeout" for 12002 and never empty.
std::wstring HttpErrorText(DWORD code);

}  // namespace tolvek
