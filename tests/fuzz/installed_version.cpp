// The installed-version record, a file of the target anyone could have written: a
// version read is what the engine's own record of it reads as.
#include "fuzz_support.h"
#include "version_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view record = fuzz::Bytes(data, size);
    const std::optional<int64_t> version = tolvek::ParseInstalledVersion(record);
    if (!version) return 0;
    const std::string written = tolvek::InstalledVersionRecord(*version);
    FUZZ_REQUIRE(tolvek::ParseInstalledVersion(written) == version &&
                 record.find_first_not_of("-0123456789\r\n") == std::string_view::npos);
    return 0;
}
