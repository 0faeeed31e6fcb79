#include "utf8_text.h"

#include <algorithm>
#include <cstdint>
#include <memory>

namespace tolvek {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// The platform's conversion counts bytes and units in an int.
constexpr size_t kLargestWindow = INT32_MAX;

bool IsContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }
bool IsLead(char byte) { return static_cast<unsigned char>(byte) >= 0xC0; }

// Where a window of the bytes may end so that decoding the windows one by one gives
// what decoding the whole would: not inside a sequence that a lead byte of the last
// three started. A continuation byte without such a lead is a U+FFFD of its own.
size_t SafeEnd(std::string_view bytes, size_t end) {
    while (end < bytes.size() && IsContinuation(bytes[end])) {
        bool leadNear = false;
        for (size_t back = 1; back <= 3 && back <= end; ++back) leadNear = leadNear || IsLead(bytes[end - back]);
        if (!leadNear) break;
        --end;
    }
    return end;
}

}  // namespace

std::string_view WithoutByteOrderMark(std::string_view bytes) {
    return bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark ? bytes.substr(kByteOrderMark.size()) : bytes;
}

JsonText Utf8Text(std::string_view bytes, Utf8Decoder decode) {
    struct Reading {
        std::string_view bytes;
        size_t at = 0;
    };
    auto reading = std::make_shared<Reading>(Reading{WithoutByteOrderMark(bytes)});
    // A UTF-8 byte gives at most one UTF-16 unit, so a window of `room` bytes fits.
    const auto read = [reading, decode](wchar_t* units, size_t room) -> size_t {
        const std::string_view rest = reading->bytes.substr(reading->at);
        room = std::min(room, kLargestWindow);
        const size_t end = SafeEnd(rest, std::min(rest.size(), room));
        if (end == 0) return 0;
        reading->at += end;
        return decode(rest.data(), end, units, room);
    };
    return JsonText{read, [reading] { reading->at = 0; }};
}

}  // namespace tolvek
