#include "verify.h"

#include "handles.h"
#include "support.h"

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
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    r.algorithm.reset(algorithm);
    DWORD objectLength = 0;
    if (!ReadLengthProperty(algorithm, BCRYPT_OBJECT_LENGTH, objectLength) ||
        !ReadLengthProperty(algorithm, BCRYPT_HASH_LENGTH, digestLength))
        return false;

    r.hashObject.reset(AllocateFromProcessHeap(objectLength));
    r.digest.reset(AllocateFromProcessHeap(digestLength));
    if (!r.hashObject || !r.digest) return false;

    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, static_cast<PUCHAR>(r.hashObject.get()),
                                         objectLength, nullptr, 0, 0)))
        return false;
    r.hash.reset(hash);
    return true;
}

// Feeds the whole file to the hash, one read buffer at a time. The cancel signal
// is read before every block, so a digest of gigabytes ends within one block of it.
bool HashWholeFile(HashingResources& r, RunBuffer& buffer, const CancelSignal& cancel,
                   const std::wstring& path, Outcome& failure) {
    auto* data = static_cast<PUCHAR>(buffer.data());
    for (;;) {
        if (IsCancelled(cancel)) {
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

// The digest of an opened file, or empty; `failure` stays a success when only the
// hashing itself failed.
std::wstring DigestOfOpenFile(HashingResources& r, RunBuffer& buffer, const CancelSignal& cancel,
                              const std::wstring& path, Outcome& failure) {
    DWORD digestLength = 0;
    if (!PrepareSha256(r, digestLength) || !HashWholeFile(r, buffer, cancel, path, failure))
        return std::wstring();
    return FinishDigest(r, digestLength);
}

}  // namespace

std::wstring ComputeFileSha256(const std::wstring& path, RunBuffer& buffer,
                               const CancelSignal& cancel, Outcome& failure) {
    HashingResources resources;
    // Read sharing only: a file that someone is still writing is not hashed.
    resources.file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!resources.file) {
        failure = Fail(FailureKind::Hashing, L"Cannot open file for hashing: " + path, GetLastError());
        return std::wstring();
    }
    failure = Success();
    const std::wstring digest = DigestOfOpenFile(resources, buffer, cancel, path, failure);
    if (digest.empty() && failure.ok()) failure = Fail(FailureKind::Hashing, kCalculationFailed);
    return digest;
}

Outcome VerifyFile(const std::wstring& localPath, const FileEntry& entry, const std::wstring& displayName,
                   RunBuffer& buffer, const CancelSignal& cancel) {
    int64_t actual = -1;
    if (!QueryExistingFile(localPath, actual))
        return Fail(FailureKind::FileMissing, L"File does not exist: " + displayName);
    // The size first: a file of the wrong size is never read.
    if (entry.hasSize && actual != entry.size)
        return Fail(FailureKind::SizeMismatch, L"Size mismatch for " + displayName + L". Expected " +
                                                   std::to_wstring(entry.size) + L", got " +
                                                   std::to_wstring(actual));
    if (!entry.hasHash) return Success();

    Outcome failure;
    const std::wstring digest = ComputeFileSha256(localPath, buffer, cancel, failure);
    if (digest.empty()) return failure;
    if (digest == entry.hash) return Success();
    return Fail(FailureKind::DigestMismatch, L"SHA256 mismatch for " + displayName + L". Expected " +
                                                 entry.hash + L", got " + digest);
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

Outcome VerifyFile(const std::wstring& localPath, const FileEntry& entry,
                   const std::wstring& displayName) {
    RunBuffer buffer;
    const CancelSignal never;
    return VerifyFile(localPath, entry, displayName, buffer, never);
}

std::wstring ComputeFileSha256(const std::wstring& path, Outcome& failure) {
    RunBuffer buffer;
    const CancelSignal never;
    return ComputeFileSha256(path, buffer, never, failure);
}

}  // namespace tolvek
