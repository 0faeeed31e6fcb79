#include "verify.h"

#include "handles.h"
#include "support.h"

#include <windows.h>
#include <bcrypt.h>

namespace tolvek {

namespace {

constexpr DWORD kHashReadSize = static_cast<DWORD>(kRunBufferSize);
const wchar_t kHexDigits[] = L"0123456789ABCDEF";
const wchar_t kCalculationFailed[] = L"SHA256 calculation failed";

// Everything one digest holds besides the run's read buffer. Members are released
// in reverse order of declaration: the hash, the provider, the hash object, the
// digest buffer and last the file.
struct HashingResources {
    FileHandle file;
    HeapBlock digest;
    HeapBlock hashObject;
    AlgorithmHandle algorithm;
    HashHandle hash;
};

bool ReadLengthProperty(BCRYPT_ALG_HANDLE algorithm, const wchar_t* name, DWORD& value) {
    ULONG written = 0;
    return BCRYPT_SUCCESS(BCryptGetProperty(algorithm, name, reinterpret_cast<PUCHAR>(&value),
                                            sizeof value, &written, 0));
}

void* AllocateFromProcessHeap(DWORD size) { return HeapAlloc(GetProcessHeap(), 0, size); }

// Opens the provider and creates the hash with its object and digest buffers.
bool PrepareSha256(HashingResources& r, DWORD& digestLength) {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(r.algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    const BCRYPT_ALG_HANDLE algorithm = r.algorithm.get();
    DWORD objectLength = 0;
    if (!ReadLengthProperty(algorithm, BCRYPT_OBJECT_LENGTH, objectLength) ||
        !ReadLengthProperty(algorithm, BCRYPT_HASH_LENGTH, digestLength))
        return false;

    r.hashObject.reset(AllocateFromProcessHeap(objectLength));
    r.digest.reset(AllocateFromProcessHeap(digestLength));
    if (!r.hashObject || !r.digest) return false;

    return BCRYPT_SUCCESS(BCryptCreateHash(algorithm, r.hash.put(), static_cast<PUCHAR>(r.hashObject.get()),
                                           objectLength, nullptr, 0, 0));
}

// Feeds the whole file to the hash, one read buffer at a time. The cancel signal
// is read before every block, so a digest of gigabytes ends within one block of it.
bool HashWholeFile(HashingResources& r, RunBuffer& buffer, const CancelSignal* cancel,
                   const std::wstring& path, Outcome& failure) {
    auto* data = static_cast<PUCHAR>(buffer.data());
    for (;;) {
        if (cancel && IsCancelled(*cancel)) {
            failure = Cancelled();
            return false;
        }
        DWORD read = 0;
        if (!ReadFile(r.file.get(), data, kHashReadSize, &read, nullptr)) {
            failure = Fail(FailureKind::Hashing, L"Read error while hashing: " + path, GetLastError());
            return false;
        }
        if (read == 0) return true;
        if (!BCRYPT_SUCCESS(BCryptHashData(r.hash.get(), data, read, 0))) return false;
    }
}

std::wstring HexDigits(const unsigned char* bytes, DWORD length) {
    std::wstring text;
    text.reserve(length * 2);
    for (DWORD i = 0; i < length; ++i) {
        text += kHexDigits[bytes[i] >> 4];
        text += kHexDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::wstring FinishDigest(HashingResources& r, DWORD digestLength) {
    auto* digest = static_cast<unsigned char*>(r.digest.get());
    if (!BCRYPT_SUCCESS(BCryptFinishHash(r.hash.get(), digest, digestLength, 0))) return std::wstring();
    return HexDigits(digest, digestLength);
}

bool FinishDigest(HashingResources& r, DWORD digestLength, Sha256Digest& digest) {
    return digestLength == digest.size() &&
           BCRYPT_SUCCESS(BCryptFinishHash(r.hash.get(), digest.data(), digestLength, 0));
}

// Feeds bytes in memory to the hash; one call of the platform takes a 32-bit count.
bool HashBytes(HashingResources& r, const void* bytes, size_t size) {
    constexpr size_t kBlock = 0x40000000;
    // CNG reads the input only; its prototype is not const.
    auto* data = static_cast<PUCHAR>(const_cast<void*>(bytes));
    for (size_t offset = 0; offset < size; offset += kBlock) {
        const size_t length = size - offset < kBlock ? size - offset : kBlock;
        if (!BCRYPT_SUCCESS(BCryptHashData(r.hash.get(), data + offset, static_cast<ULONG>(length), 0)))
            return false;
    }
    return true;
}

}  // namespace

Outcome ComputeFileSha256(const std::wstring& path, RunBuffer& buffer, const CancelSignal* cancel,
                          Sha256Digest& digest) {
    HashingResources resources;
    // Read sharing only: a file that someone is still writing is not hashed.
    resources.file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!resources.file)
        return Fail(FailureKind::Hashing, L"Cannot open file for hashing: " + path, GetLastError());
    Outcome failure;
    DWORD digestLength = 0;
    if (PrepareSha256(resources, digestLength) && HashWholeFile(resources, buffer, cancel, path, failure) &&
        FinishDigest(resources, digestLength, digest))
        return Success();
    return failure.ok() ? Fail(FailureKind::Hashing, kCalculationFailed) : failure;
}

Outcome VerifyFile(const RunContext& run, const std::wstring& localPath, const FileEntry& entry,
                   std::wstring_view displayName) {
    const std::wstring name(displayName);
    int64_t actual = -1;
    if (!QueryExistingFile(localPath, actual)) return Fail(FailureKind::FileMissing, L"File does not exist: " + name);
    // The size first: a file of the wrong size is never read.
    if (entry.size && actual != *entry.size)
        return Fail(FailureKind::SizeMismatch, L"Size mismatch for " + name + L". Expected " +
                                                   std::to_wstring(*entry.size) + L", got " +
                                                   std::to_wstring(actual));
    if (!entry.hash) return Success();

    Sha256Digest digest;
    Outcome hashed = ComputeFileSha256(localPath, run.buffer, &run.cancel, digest);
    if (!hashed.ok()) return hashed;
    if (digest == *entry.hash) return Success();
    return Fail(FailureKind::DigestMismatch, L"SHA256 mismatch for " + name + L". Expected " +
                                                 DigestText(*entry.hash) + L", got " + DigestText(digest));
}

bool ComputeSha256(std::string_view bytes, Sha256Digest& digest) {
    HashingResources resources;
    DWORD digestLength = 0;
    if (!PrepareSha256(resources, digestLength) || digestLength != digest.size() ||
        !HashBytes(resources, bytes.data(), bytes.size()))
        return false;
    return BCRYPT_SUCCESS(BCryptFinishHash(resources.hash.get(), digest.data(), digestLength, 0));
}

std::wstring TextSha256(const std::wstring& text) {
    HashingResources resources;
    DWORD digestLength = 0;
    if (!PrepareSha256(resources, digestLength) ||
        !HashBytes(resources, text.data(), text.size() * sizeof(wchar_t)))
        return std::wstring();
    return FinishDigest(resources, digestLength);
}

}  // namespace tolvek
