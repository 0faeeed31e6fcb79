// A mirror's base URL (the first line) and a manifest key (the rest) through the URL
// building: the key stays inside the path, in escapes that decode back to it, and
// the signature file's URL is the manifest's with ".sig" at the path's end.
#include "fuzz_support.h"
#include "text.h"
#include "urls.h"

using namespace tolvek;

void CheckFileUrl(const std::wstring& base, const std::wstring& key, UrlEncoding encoding) {
    const std::wstring url = BuildFileUrl(base, key, encoding);
    const size_t tail = std::min(base.find_first_of(L"?#"), base.size());
    std::wstring head = base.substr(0, tail);
    while (!head.empty() && IsSeparator(head.back())) head.pop_back();
    FUZZ_REQUIRE(url.compare(0, head.size(), head) == 0 && url[head.size()] == L'/' &&
                 url.size() > base.size() - tail + head.size() &&
                 url.compare(url.size() - (base.size() - tail), std::wstring::npos, base, tail) == 0);
    const std::wstring path = url.substr(head.size() + 1, url.size() - head.size() - 1 - (base.size() - tail));
    for (const std::wstring& piece : SplitString(path, L'/')) FUZZ_REQUIRE(fuzz::PercentDecoded(piece).has_value());
    // One segment: its escapes are its UTF-8 bytes.
    if (encoding == UrlEncoding::Utf8 && !key.empty() && key.find_first_of(L"/\\") == std::wstring::npos &&
        !HasUnpairedSurrogate(key))
        FUZZ_REQUIRE(fuzz::DecodeUtf8(fuzz::PercentDecoded(path).value()) == key);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto [base, key] = fuzz::Lines(fuzz::Units(fuzz::Bytes(data, size)));
    CheckFileUrl(base, key, UrlEncoding::Legacy);
    CheckFileUrl(base, key, UrlEncoding::Utf8);

    const std::wstring signature = SignatureUrl(base);
    const size_t authority = base.find(L"://") == std::wstring::npos ? 0 : base.find(L"://") + 3;
    const size_t end = std::min(base.find_first_of(L"?#", authority), base.size());
    const size_t inserted = signature.size() - base.size();
    FUZZ_REQUIRE(signature.compare(0, end, base, 0, end) == 0 && (inserted == 4 || inserted == 5) &&
                 signature.compare(end, inserted, inserted == 4 ? L".sig" : L"/.sig") == 0 &&
                 signature.compare(end + inserted, std::wstring::npos, base, end) == 0);
    return 0;
}
