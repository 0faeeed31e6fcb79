// A manifest's "expires" text: a moment read is written back as the same text, and
// the freshness check tells expired, fresh and not understood by that reading.
#include "fuzz_support.h"
#include "signature_format.h"

using namespace tolvek;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text = fuzz::Units(fuzz::Bytes(data, size));
    int64_t seconds = 0;
    const bool read = ParseUtcTimestamp(text, seconds);
    if (read) FUZZ_REQUIRE(fuzz::UtcText(seconds) == text);

    JsonValue expires;
    expires.kind = JsonKind::String;
    expires.count = static_cast<uint32_t>(text.size());
    expires.characters = text.data();
    const int64_t now = 1700000000;  // 2023-11-14T22:13:20Z
    const Outcome fresh = CheckFreshness(&expires, now);
    FUZZ_REQUIRE(fresh.kind == (!read ? FailureKind::Untrusted : seconds < now ? FailureKind::Expired : FailureKind::None));
    FUZZ_REQUIRE(fresh.ok() || fresh.text.compare(fresh.text.size() - text.size(), text.size(), text) == 0);
    return 0;
}
