// The response headers a transfer reads as numbers: Content-Length and Content-Range.
// Pure C++ (no windows.h), so these parsers of the network's text build natively too.
#pragma once

#include <cstdint>
#include <string>

namespace tolvek {

// The Content-Length value as the C runtime's wcstoll reads it (leading white space,
// a sign, decimal digits up to the first other character, the 64-bit limits for what
// is past them); -1 for a negative value. Above ASCII the runtime decides: the DLL's
// skips blanks such as U+00A0 and U+3000 before the digits (under Wine), the C library
// of a native build none in its C locale, so there such a value reads as 0.
int64_t ContentLengthValue(const std::wstring& text);

// A Content-Range value "bytes <first>-<last>/<complete>", read strictly: decimal
// digits only, each value within the signed 64-bit range, first <= last < complete.
struct ContentRange {
    int64_t first = 0, last = 0, complete = 0;
};
bool ParseContentRange(const std::wstring& text, ContentRange& range);

}  // namespace tolvek
