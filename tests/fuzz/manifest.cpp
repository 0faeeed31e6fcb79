// A manifest's bytes as the engine reads them, UTF-8 decoded in windows of 4 to 32
// units with "files" streamed into the entries, against the bytes decoded at once and
// parsed into a tree that ReadManifest reads: the same text, outcome and manifest.
#include "fuzz_support.h"
#include "manifest_model.h"
#include "utf8_text.h"

using namespace tolvek;

bool SameEntry(const FileEntry& a, const FileEntry& b) {
    return a.key == b.key && a.size == b.size && a.hash == b.hash && a.fault == b.fault;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes = fuzz::Bytes(data, size);
    const std::wstring whole = fuzz::DecodeUtf8(WithoutByteOrderMark(bytes));
    const size_t room = 4 + size % 29;  // the parser gives 16 or more
    const JsonText text = Utf8Text(bytes, fuzz::DecodeUtf8);
    const JsonText windows{[&](wchar_t* units, size_t given) { return text.read(units, std::min(given, room)); },
                           text.restart};
    std::wstring window(room, L'\0'), joined;
    for (size_t count; (count = windows.read(window.data(), room)) > 0;) joined.append(window, 0, count);
    FUZZ_REQUIRE(joined == whole);

    JsonDocument document, tree;
    Manifest streamed, read;
    const Outcome outcome = ParseManifest(windows, document, streamed);
    Outcome treeOutcome = ParseJson(whole, tree);
    if (treeOutcome.ok() && !ReadManifest(tree.root, read))
        treeOutcome = Fail(FailureKind::MissingFiles, L"Manifest does not contain files object");
    FUZZ_REQUIRE(fuzz::SameOutcome(outcome, treeOutcome));
    if (outcome.kind == FailureKind::Parse) return 0;
    FUZZ_REQUIRE(std::equal(streamed.entries.begin(), streamed.entries.end(), read.entries.begin(), read.entries.end(),
                            SameEntry) &&
                 streamed.version == read.version && streamed.versionString == read.versionString &&
                 streamed.mirrors == read.mirrors && streamed.urlEncoding == read.urlEncoding);
    return 0;
}
