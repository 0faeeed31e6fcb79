#include "manifest.h"

#include "attempts.h"
#include "handles.h"
#include "http.h"
#include "signature.h"

#include <cmath>

namespace tolvek {

namespace {

// A manifest has no declared size; an endless body must not fill the disk.
constexpr int64_t kManifestCeiling = 134217728;  // 128 MiB

// A count of bytes: a number that is neither negative nor fractional.
bool IsByteCount(const JsonValue& value) {
    return value.kind == JsonKind::Number && value.number >= 0 && std::floor(value.number) == value.number;
}

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// 64 hexadecimal digits in either case: the only text a SHA-256 can be compared with.
bool IsSha256Text(const JsonValue& value) {
    if (value.kind != JsonKind::String || value.count != 64) return false;
    for (const wchar_t c : StringOf(value))
        if (!IsHexDigit(c)) return false;
    return true;
}

// Size, hash and their flags from a member value of "files"; the caller sets `key`.
// A member that is written but unusable is recorded as such: it must not pass for
// an absent one, which would turn the bound or the verification off.
FileEntry ReadFileEntry(const JsonValue& value) {
    FileEntry entry;
    if (const JsonValue* size = FindMember(value, L"size")) {
        entry.hasSize = IsByteCount(*size);
        entry.sizeUnusable = !entry.hasSize;
        if (entry.hasSize) entry.size = TruncateToInt64(size->number);
    }
    if (const JsonValue* hash = FindMember(value, L"hash")) {
        entry.hasHash = IsSha256Text(*hash);
        entry.hashUnusable = !entry.hasHash;
        if (entry.hasHash) entry.hash = StringOf(*hash);
        for (wchar_t& c : entry.hash)
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return entry;
}

// Every non-empty string of "cdn_list"; else "cdn" when it is a non-empty string.
std::vector<std::wstring> ReadMirrorList(const JsonValue& root) {
    std::vector<std::wstring> mirrors;
    const JsonValue* list = FindMember(root, L"cdn_list");
    if (list && list->kind == JsonKind::Array) {
        for (const JsonValue& item : ElementsOf(*list))
            if (item.kind == JsonKind::String && item.count > 0) mirrors.emplace_back(StringOf(item));
    }
    if (mirrors.empty()) {
        std::wstring single = GetString(root, L"cdn", L"");
        if (!single.empty()) mirrors.push_back(std::move(single));
    }
    return mirrors;
}

void LogFailure(const std::wstring& url, const std::wstring& error) {
    Log(L"Manifest download failed: " + url + L" ; error=" + error);
}

std::wstring DecodeUtf8(const std::string& bytes) {
    size_t start = 0;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
    if (bytes.size() == start) return std::wstring();
    const int byteCount = static_cast<int>(bytes.size() - start);
    const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data() + start, byteCount, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data() + start, byteCount, &text[0], length);
    return text;
}

// The attempts on the manifest URLs in list order.
struct ManifestAttempts {
    HINTERNET session;
    const std::vector<std::wstring>& urls;
    const std::wstring& manifestPath;
    const ProgressTracker& tracker;
    RunBuffer& buffer;
    const CancelSignal& cancel;
    Manifest& manifest;
    const TrustedKeys* trustedKeys;  // null: the plain start verifies nothing
    const std::wstring temporaryPath = TemporaryPath(manifestPath);
    const SizeCeiling ceiling{
        kManifestCeiling,
        L"Manifest too large (more than " + std::to_wstring(kManifestCeiling) + L" bytes)"};
    Outcome lastUntrusted = {};  // the last manifest that failed its signature or expiry

    Outcome Attempt(size_t index, int attempt) {
        const std::wstring& url = urls[index];
        const int32_t number = static_cast<int32_t>(index + 1);
        const int32_t count = static_cast<int32_t>(urls.size());
        ReportProgress(tracker, {.status = L"Downloading manifest", .item = url,
                                 .itemIndex = number, .itemCount = count});
        Log(L"Trying to download manifest [URL " + std::to_wstring(number) + L"/" +
            std::to_wstring(count) + L", attempt " + AttemptOfLimit(attempt) + L"]: " + url);
        DeleteFileIfExists(temporaryPath);
        DeleteFileIfExists(manifestPath);

        Outcome outcome = Download({url, temporaryPath, std::nullopt, &ceiling}, number, count);
        if (outcome.ok()) outcome = Read(url, number, count);
        if (outcome.ok()) outcome = MoveIntoPlace();
        if (outcome.ok()) {
            Log(L"Manifest downloaded successfully from: " + url);
            return outcome;
        }
        // A failed move says nothing about the manifest, and is not logged.
        if (outcome.kind != FailureKind::Move) LogFailure(url, outcome.text);
        DeleteFileIfExists(temporaryPath);
        return outcome;
    }

    FailureReach Reach(const Outcome& failure) const {
        // A full disk or a working directory that cannot hold the copy is not the
        // network's fault: no other attempt or URL.
        if (failure.kind == FailureKind::DiskWrite || failure.kind == FailureKind::CannotCreateFile)
            return FailureReach::Operation;
        // The same URL would bring the same document (trusted or not), or never crack.
        if (failure.kind == FailureKind::InvalidUrl || failure.kind == FailureKind::MissingFiles ||
            failure.kind == FailureKind::Untrusted)
            return FailureReach::Target;
        return FailureReach::Attempt;
    }

    void LogRetry(const Outcome& failure, int attempt) const {
        if (failure.kind == FailureKind::Move) return;
        const wchar_t* after = failure.kind == FailureKind::Parse ? L"after parse failure" : L"after failure";
        Log(std::wstring(L"Retrying same manifest URL ") + after + L" (attempt " + AttemptOfLimit(attempt) + L")");
    }

    void Left(size_t, const Outcome& last) {
        if (last.kind == FailureKind::Untrusted) lastUntrusted = last;
    }

    // The manifest's transfer and its signature file's, through the run's buffer.
    Outcome Download(const Transfer& transfer, int32_t number, int32_t count) {
        const TransferReport report = [&](const wchar_t* status, int64_t done) {
            ReportProgress(tracker, {.status = status, .item = transfer.url, .itemIndex = number,
                                     .itemCount = count, .fileBytesDone = done});
        };
        return DownloadToFile(session, transfer, buffer, cancel, report);
    }

    Outcome Read(const std::wstring& url, int32_t number, int32_t count) {
        // Read once: what is verified is what is parsed.
        std::wstring text;
        {
            const std::string bytes = ReadFileBytes(temporaryPath);
            if (trustedKeys) {
                Outcome verified = Verify(url, number, count, bytes);
                if (!verified.ok()) return verified;
            }
            text = DecodeUtf8(bytes);
        }
        JsonDocument document;
        Outcome parsed = ParseJson(text, document, cancel);
        if (!parsed.ok()) {
            if (parsed.text.empty()) parsed.text = L"Downloaded manifest is empty or invalid JSON";
            return parsed;
        }
        if (trustedKeys) {
            std::wstring failure;
            if (!CheckFreshness(FindMember(document.root, L"expires"), UtcNowSeconds(), failure))
                return Fail(FailureKind::Untrusted, std::move(failure));
        }
        manifest = Manifest();
        if (!ReadManifest(document.root, manifest))
            return Fail(FailureKind::MissingFiles, L"Manifest does not contain files object");
        return Success();
    }

    // The signature file beside the manifest, over the manifest's bytes.
    Outcome Verify(const std::wstring& url, int32_t number, int32_t count, std::string_view bytes) {
        // Never shown: a signature file past it is malformed, so the manifest is not trusted.
        const SizeCeiling signatureCeiling{static_cast<int64_t>(kMaxSignatureFileBytes),
                                           L"Signature file too large"};
        const std::wstring signaturePath = TemporaryPath(manifestPath + L".sig");
        DeleteFileIfExists(signaturePath);
        Outcome downloaded = Download({SignatureUrl(url), signaturePath, std::nullopt, &signatureCeiling}, number, count);
        const std::string file = downloaded.ok() ? ReadFileBytes(signaturePath) : std::string();
        DeleteFileIfExists(signaturePath);
        // Another attempt would bring the same oversized file.
        if (!downloaded.ok() && downloaded.kind != FailureKind::TooLarge)
            return SignatureDownloadFailure(std::move(downloaded));
        const size_t keyNumber = downloaded.ok() ? SigningKeyOf(*trustedKeys, file, bytes) : 0;
        if (keyNumber == 0) return Fail(FailureKind::Untrusted, kSignatureNotValid);
        Log(SignatureVerifiedLine(keyNumber, trustedKeys->keys.size()));
        return Success();
    }

    // Retried as any failed download; a cancel or a full disk keeps its own text.
    Outcome SignatureDownloadFailure(Outcome failure) const {
        if (failure.kind != FailureKind::Cancelled && Reach(failure) != FailureReach::Operation)
            failure.text = kSignatureDownloadFailed + failure.text;
        return failure;
    }

    Outcome MoveIntoPlace() const {
        if (MoveFileExW(temporaryPath.c_str(), manifestPath.c_str(), kMoveFlags)) return Success();
        const DWORD code = GetLastError();
        return Fail(FailureKind::Move, L"Cannot move manifest file: " + Win32ErrorText(code), code);
    }
};

}  // namespace

bool ReadManifest(const JsonValue& root, Manifest& manifest) {
    manifest.version = TruncateToInt64(GetNumber(root, L"version", 0));
    manifest.versionString = GetString(root, L"version_string", L"");
    manifest.mirrors = ReadMirrorList(root);
    if (GetString(root, L"url_encoding", L"") == L"utf-8") manifest.urlEncoding = UrlEncoding::Utf8;
    const JsonValue* files = FindMember(root, L"files");
    if (!files || files->kind != JsonKind::Object) return false;
    manifest.entries.reserve(files->count);
    for (const JsonMember& member : MembersOf(*files)) {
        FileEntry entry = ReadFileEntry(member.value);
        entry.key = StringOf(member.name);
        manifest.entries.push_back(std::move(entry));
    }
    return true;
}

std::wstring ReadUtf8FileAsWide(const std::wstring& path) { return DecodeUtf8(ReadFileBytes(path)); }

Outcome DownloadManifest(HINTERNET session, const std::wstring& manifestUrls,
                         const std::wstring& manifestPath, const ProgressTracker& tracker,
                         RunBuffer& buffer, const CancelSignal& cancel, Manifest& manifest,
                         const TrustedKeys* trustedKeys) {
    const std::vector<std::wstring> urls = SplitString(manifestUrls, L'|');
    if (urls.empty())
        return Fail(FailureKind::NoUrls, L"NETWORK_UNREACHABLE: Manifest URL list is empty");
    ManifestAttempts attempts{session, urls, manifestPath, tracker, buffer, cancel, manifest, trustedKeys};
    AttemptsEnd end = RunAttempts(attempts, urls.size(), cancel);
    if (!end.exhausted) return std::move(end.last);
    // A manifest came but was not trusted: the network worked.
    if (!attempts.lastUntrusted.ok()) return attempts.lastUntrusted;
    return Fail(FailureKind::Unreachable,
                L"NETWORK_UNREACHABLE: Cannot download manifest from any URL (" +
                    std::to_wstring(urls.size()) + L" tried, " + std::to_wstring(kAttemptsPerTarget) +
                    L" attempts each). Last error: " + end.last.text);
}

}  // namespace tolvek
