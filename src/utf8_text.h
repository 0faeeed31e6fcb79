// UTF-8 bytes as the JSON parser's text, decoded window by window, never whole.
// Pure C++: the decoding itself is handed in (the platform's conversion in the
// DLL), so the windowing builds natively as well.
#pragma once

#include "json.h"

#include <cstddef>
#include <string_view>

namespace tolvek {

// Decodes `count` bytes into at most `room` UTF-16 units and gives the units written.
// Each window is decoded on its own: a decoder that reads a sequence from its lead
// byte, at most four bytes long, gives for the windows what it gives for the whole.
using Utf8Decoder = size_t (*)(const char* bytes, size_t count, wchar_t* units, size_t room);

// The bytes without a leading UTF-8 byte-order mark.
std::string_view WithoutByteOrderMark(std::string_view bytes);

// The bytes (byte-order mark dropped) as a text whose windows never end inside a
// sequence. A read needs room for at least 4 units; the parser gives 16 or more.
JsonText Utf8Text(std::string_view bytes, Utf8Decoder decode);

}  // namespace tolvek
