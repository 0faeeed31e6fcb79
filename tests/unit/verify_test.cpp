// File verification and SHA-256 digests of real files.
#include "handles.h"
#include "stage_context.h"
#include "test_support.h"
#include "verify.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace testing_support;

std::string PseudoRandomBytes(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 2463534242u;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    return bytes;
}

tolvek::FileEntry Entry(const std::string& content) {
    tolvek::FileEntry entry;
    entry.size = static_cast<int64_t>(content.size());
    entry.hash = tolvek::DigestFromText(Widen(Sha256Hex(content)));
    return entry;
}

// The verification as the tables state it: valid or not, with the failure's text
// written into `error` (when given) only on failure.
bool Verify(const std::wstring& path, const tolvek::FileEntry& entry, const std::wstring& name,
            std::wstring* error, tolvek::RunBuffer* buffer = nullptr,
            const tolvek::CancelSignal* cancel = nullptr) {
    StageContext own;
    const tolvek::RunContext run{own.network, buffer ? *buffer : own.buffer, cancel ? *cancel : own.cancel, own.tracker};
    const tolvek::Outcome outcome = tolvek::VerifyFile(run, path, entry, name);
    if (!outcome.ok() && error) *error = outcome.text;
    return outcome.ok();
}

// The digest, or empty with the failure's text in `error` (when given).
std::wstring Digest(const std::wstring& path, std::wstring* error, tolvek::RunBuffer* buffer = nullptr,
                    const tolvek::CancelSignal* cancel = nullptr) {
    tolvek::RunBuffer own;
    tolvek::Sha256Digest digest;
    const tolvek::Outcome hashed = tolvek::ComputeFileSha256(path, buffer ? *buffer : own, cancel, digest);
    if (error) *error = hashed.text;
    return hashed.ok() ? tolvek::DigestText(digest) : L"";
}

TEST(Verify, DigestsMatchIndependentSha256) {
    const ScratchDir scratch(L"digests");
    // Largest first: what a longer file left in the run's buffer must not reach a shorter one's digest.
    const size_t sizes[] = {3 * 1048576, 1048577, 1048575, 1, 0};
    tolvek::RunBuffer buffer;
    for (const size_t size : sizes) {
        const std::string content = PseudoRandomBytes(size);
        const std::wstring path = scratch / (std::to_wstring(size) + L".bin");
        WriteBytes(path, content);
        std::wstring error;
        EXPECT_EQ(Narrow(Digest(path, &error)), Sha256Hex(content)) << size << " bytes";
        EXPECT_EQ(Narrow(Digest(path, &error, &buffer)), Sha256Hex(content))
            << size << " bytes, the run's buffer";
        EXPECT_EQ(error, L"") << size << " bytes";
    }
    EXPECT_EQ(Narrow(Digest(scratch / L"0.bin", nullptr)),
              "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
}

TEST(Verify, DecidesByExistenceThenSizeThenDigest) {
    const ScratchDir scratch(L"verify");
    const std::string content = "abc";
    const std::wstring file = scratch / L"abc.txt";
    WriteBytes(file, content);
    CreateDirectoryW((scratch / L"folder").c_str(), nullptr);
    const std::string digest = Sha256Hex(content);

    struct Row {
        const char* name;
        std::wstring path;
        tolvek::FileEntry entry;
        std::string error;  // empty when the file is valid
    };
    auto entry = [](int64_t size, bool hasSize, const std::string& hash, bool hasHash) {
        tolvek::FileEntry e;
        if (hasSize) e.size = size;
        if (hasHash) e.hash = tolvek::DigestFromText(Widen(hash));
        return e;
    };
    std::string lower = digest;
    for (char& c : lower) c = static_cast<char>(tolower(c));
    const Row rows[] = {
        {"size and digest right", file, entry(3, true, digest, true), ""},
        {"digest only", file, entry(0, false, digest, true), ""},
        {"size only", file, entry(3, true, "", false), ""},
        {"neither", file, entry(0, false, "", false), ""},
        {"missing", scratch / L"none.txt", entry(3, true, digest, true), "File does not exist: shown/name"},
        {"directory", scratch / L"folder", entry(0, false, "", false), "File does not exist: shown/name"},
        {"one byte short", file, entry(4, true, digest, true), "Size mismatch for shown/name. Expected 4, got 3"},
        // A digest is held as its bytes: the letter case of its text does not matter.
        {"hash in lower case", file, entry(3, true, lower, true), ""},
        {"hash of other bytes", file, entry(3, true, Sha256Hex("abd"), true),
         "SHA256 mismatch for shown/name. Expected " + Sha256Hex("abd") + ", got " + digest},
    };
    for (const Row& row : rows) {
        std::wstring error = L"untouched";
        const bool valid = Verify(row.path, row.entry, L"shown/name", &error);
        EXPECT_EQ(valid, row.error.empty()) << row.name;
        EXPECT_EQ(Narrow(error), row.error.empty() ? "untouched" : row.error) << row.name;
        EXPECT_EQ(Verify(row.path, row.entry, L"shown/name", nullptr), valid) << row.name;
    }
}

TEST(Verify, FileHeldWithoutReadSharingCannotBeHashed) {
    const ScratchDir scratch(L"locked");
    const std::string content = "locked content";
    const std::wstring path = scratch / L"locked.bin";
    WriteBytes(path, content);
    const std::string expected = "Cannot open file for hashing: " + Narrow(path);

    struct Row {
        const char* name;
        DWORD access;
        DWORD share;
    };
    const Row rows[] = {
        {"reader without sharing", GENERIC_READ, 0},
        {"writer that shares reading", GENERIC_WRITE, FILE_SHARE_READ},
    };
    for (const Row& row : rows) {
        const tolvek::FileHandle holder(
            CreateFileW(path.c_str(), row.access, row.share, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder) << row.name;
        std::wstring error;
        EXPECT_EQ(Digest(path, &error), L"") << row.name;
        EXPECT_EQ(Narrow(error), expected) << row.name;
        error.clear();
        EXPECT_FALSE(Verify(path, Entry(content), L"locked.bin", &error)) << row.name;
        EXPECT_EQ(Narrow(error), expected) << row.name;

        // A wrong size is decided before the file is opened.
        tolvek::FileEntry longer = Entry(content);
        *longer.size += 1;
        EXPECT_FALSE(Verify(path, longer, L"locked.bin", &error)) << row.name;
        EXPECT_EQ(Narrow(error), "Size mismatch for locked.bin. Expected 15, got 14") << row.name;
    }
    // Another reader that shares reading does not stand in the way.
    const tolvek::FileHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_TRUE(Verify(path, Entry(content), L"locked.bin", nullptr));
}

// Mostly zeros, with text at its start, across the 4 GiB boundary and at its end.
constexpr int64_t kLargeSize = (int64_t{1} << 32) + (1 << 20) + 7;
const char kLargeDigest[] = "24D19C3B0B0073AAD43C214C65F7D32D2A246A283D7A8C0A9DDD2B86D595AA32";

void WriteAt(HANDLE file, int64_t offset, const std::string& text) {
    LARGE_INTEGER position;
    position.QuadPart = offset;
    DWORD written = 0;
    ASSERT_TRUE(SetFilePointerEx(file, position, nullptr, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    ASSERT_EQ(written, text.size());
}

void CreateLargeSparseFile(const std::wstring& path) {
    CreateSparseFile(path, kLargeSize);
    const tolvek::FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    WriteAt(file.get(), 0, "head");
    WriteAt(file.get(), (int64_t{1} << 32) - 6, "across 4 GiB");
    WriteAt(file.get(), kLargeSize - 4, "tail");
}

TEST(Verify, SizeAbove4GiBComparedIn64Bits) {
    const ScratchDir scratch(L"large_size");
    const std::wstring path = scratch / L"large.bin";
    CreateLargeSparseFile(path);
    tolvek::FileEntry entry;
    entry.size = kLargeSize & 0xFFFFFFFF;
    std::wstring error;
    EXPECT_FALSE(Verify(path, entry, L"large.bin", &error));
    EXPECT_EQ(Narrow(error), "Size mismatch for large.bin. Expected 1048583, got 4296015879");
    entry.size = kLargeSize;
    EXPECT_TRUE(Verify(path, entry, L"large.bin", &error));
}

TEST(Verify, FileAbove4GiBHashedWholeSlow) {
    const ScratchDir scratch(L"large_digest");
    const std::wstring path = scratch / L"large.bin";
    CreateLargeSparseFile(path);
    tolvek::FileEntry entry;
    entry.size = kLargeSize;
    entry.hash = tolvek::DigestFromText(Widen(kLargeDigest));
    std::wstring error;
    EXPECT_TRUE(Verify(path, entry, L"large.bin", &error)) << Narrow(error);
}

// Only the digest reads the file block by block, so only the digest is cut short:
// existence and size are decided as before.
TEST(Verify, CancelledBeforehandEndsOnlyTheDigest) {
    const ScratchDir scratch(L"cancelled");
    const std::string content = "some content";
    const std::wstring path = scratch / L"file.bin";
    WriteBytes(path, content);
    tolvek::CancelSignal cancel;
    tolvek::RaiseCancel(cancel);
    tolvek::RunBuffer buffer;

    std::wstring error;
    EXPECT_EQ(Digest(path, &error, &buffer, &cancel), L"");
    EXPECT_EQ(Narrow(error), "Cancelled by user");

    tolvek::FileEntry sizeOnly = Entry(content);
    sizeOnly.hash.reset();
    tolvek::FileEntry longer = Entry(content);
    *longer.size += 1;
    const struct {
        const char* name;
        std::wstring path;
        tolvek::FileEntry entry;
        std::string error;  // empty when the file is valid
    } rows[] = {
        {"digest to compute", path, Entry(content), "Cancelled by user"},
        {"no digest listed", path, sizeOnly, ""},
        {"wrong size", path, longer, "Size mismatch for file.bin. Expected 13, got 12"},
        {"missing", scratch / L"none.bin", Entry(content), "File does not exist: file.bin"},
    };
    for (const auto& row : rows) {
        error = L"untouched";
        EXPECT_EQ(Verify(row.path, row.entry, L"file.bin", &error, &buffer, &cancel), row.error.empty())
            << row.name;
        EXPECT_EQ(Narrow(error), row.error.empty() ? "untouched" : row.error) << row.name;
    }
}

// 3 GiB of zeros take this machine more than ten seconds to hash; a cancel must end
// the digest within a block or two.
TEST(Verify, CancelDuringALongDigestEndsItWithinABlock) {
    const ScratchDir scratch(L"cancel_digest");
    const std::wstring path = scratch / L"huge.bin";
    CreateSparseFile(path, int64_t{3} << 30);
    tolvek::CancelSignal cancel;
    tolvek::RunBuffer buffer;
    ULONGLONG cancelledAt = 0;
    std::thread host([&] {
        Sleep(300);
        cancelledAt = GetTickCount64();
        tolvek::RaiseCancel(cancel);
    });
    std::wstring error;
    const std::wstring digest = Digest(path, &error, &buffer, &cancel);
    const ULONGLONG endedAt = GetTickCount64();
    host.join();

    EXPECT_EQ(digest, L"");
    EXPECT_EQ(Narrow(error), "Cancelled by user");
    EXPECT_LE(endedAt - cancelledAt, 2000u) << "the digest went on after the cancel";
}

}  // namespace
