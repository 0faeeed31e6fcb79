// The JSON parser over the whole text, and over the same text read 1 to 8 units at a
// time (a new split for each of its two readings): the same document or message.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text = fuzz::Units(fuzz::Bytes(data, size));
    size_t given = 0;
    uint32_t state = static_cast<uint32_t>(size);
    const tolvek::JsonText pieces{[&](wchar_t* units, size_t room) {
                                      state = state * 1103515245 + 12345;
                                      const size_t count = std::min({room, text.size() - given, size_t{1} + (state >> 16) % 8});
                                      std::wmemcpy(units, text.data() + given, count);
                                      given += count;
                                      return count;
                                  },
                                  [&] { given = 0; }};
    tolvek::JsonDocument whole, windowed;
    const tolvek::Outcome outcome = tolvek::ParseJson(text, whole);
    FUZZ_REQUIRE(fuzz::SameOutcome(outcome, tolvek::ParseJson(pieces, windowed)));
    FUZZ_REQUIRE(outcome.ok() ? fuzz::SameValue(whole.root, windowed.root)
                              : outcome.kind == tolvek::FailureKind::Parse && !outcome.text.empty());
    return 0;
}
