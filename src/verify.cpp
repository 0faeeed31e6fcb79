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

// Feeds the whole file to the hash, one read buffer at a time. The cancel flag is
// read before every block, so a digest of gigabytes ends within one block of it.
bool HashWholeFile(HashingResources& r, RunBuffer& buffer, const std::wstring& path,
                   std::wstring& failure) {
    auto* data = static_cast<PUCHAR>(buffer.data());
    for (;;) {
        if (IsCancelled(buffer.cancelFlag)) {
            failure = kCancelledByUser;
            return false;
        }
        DWORD read = 0;
        if (!ReadFile(r.file.get(), data, kHashReadSize, &read, nullptr)) {
            failure = L"Read error while hashing: " + path;
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

// The digest of an opened file, or empty; `failure` stays empty when only the
// hashing itself failed.
std::wstring DigestOfOpenFile(HashingResources& r, RunBuffer& buffer, const std::wstring& path,
                              std::wstring& failure) {
    DWORD digestLength = 0;
    if (!PrepareSha256(r, digestLength) || !HashWholeFile(r, buffer, path, failure))
        return std::wstring();
    auto* digest = static_cast<unsigned char*>(r.digest.get());
    if (!BCRYPT_SUCCESS(BCryptFinishHash(r.hash.get(), digest, digestLength, 0))) return std::wstring();
    return HexDigits(digest, digestLength);
}

std::wstring ComputeDigest(const std::wstring& path, RunBuffer& buffer, std::wstring& failure) {
    HashingResources resources;
    // Read sharing only: a file that someone is still writing is not hashed.
    resources.file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!resources.file) {
        failure = L"Cannot open file for hashing: " + path;
        return std::wstring();
    }
    return DigestOfOpenFile(resources, buffer, path, failure);
}

}  // namespace

std::wstring ComputeFileSha256(const std::wstring& path, RunBuffer& buffer, std::wstring* errorText) {
    std::wstring failure;
    const std::wstring digest = ComputeDigest(path, buffer, failure);
    if (digest.empty()) SetError(errorText, failure.empty() ? kCalculationFailed : failure);
    return digest;
}

bool VerifyFile(const std::wstring& localPath, const FileEntry& entry, const std::wstring& displayName,
                RunBuffer& buffer, std::wstring* errorText) {
    int64_t actual = -1;
    if (!QueryExistingFile(localPath, actual)) {
        SetError(errorText, L"File does not exist: " + displayName);
        return false;
    }
    // The size first: a file of the wrong size is never read.
    if (entry.hasSize) {
        if (actual != entry.size) {
            SetError(errorText, L"Size mismatch for " + displayName + L". Expected " +
                                    std::to_wstring(entry.size) + L", got " + std::to_wstring(actual));
            return false;
        }
    }
    if (!entry.hasHash) return true;

    std::wstring hashingError;
    const std::wstring digest = ComputeFileSha256(localPath, buffer, &hashingError);
    if (digest.empty()) {
        SetError(errorText, hashingError);
        return false;
    }
    if (digest == entry.hash) return true;
    SetError(errorText, L"SHA256 mismatch for " + displayName + L". Expected " + entry.hash +
                            L", got " + digest);
    return false;
}

bool ComputeSha256(std::string_view bytes, Sha256Digest& digest) {
    HashingResources resources;
    DWORD digestLength = 0;
    if (!PrepareSha256(resources, digestLength) || digestLength != digest.size()) return false;
    // One call takes a 32-bit count.
    constexpr size_t kBlock = 0x40000000;
    for (size_t offset = 0; offset < bytes.size(); offset += kBlock) {
        const size_t length = bytes.size() - offset < kBlock ? bytes.size() - offset : kBlock;
        // CNG reads the input only; its prototype is not const.
        auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + offset));
        if (!BCRYPT_SUCCESS(BCryptHashData(resources.hash.get(), data, static_cast<ULONG>(length), 0)))
            return false;
    }
    return BCRYPT_SUCCESS(BCryptFinishHash(resources.hash.get(), digest.data(), digestLength, 0));
}

std::wstring ComputeFileSha256(const std::wstring& path, std::wstring* errorText) {
    RunBuffer buffer;
    return ComputeFileSha256(path, buffer, errorText);
}

bool VerifyFile(const std::wstring& localPath, const FileEntry& entry,
                const std::wstring& displayName, std::wstring* errorText) {
    RunBuffer buffer;
    return VerifyFile(localPath, entry, displayName, buffer, errorText);
}

}  // namespace tolvek
