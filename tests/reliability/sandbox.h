// One install through the DLL in a fenced directory tree, and the invariants that
// must hold after every run, whatever went wrong during it.
#pragma once

#include "product.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace reliability {

using Result = std::pair<int32_t, std::wstring>;

// Relative path -> content of every file, "<dir>" for directories.
using Tree = std::map<std::wstring, std::string>;
Tree ReadTree(const std::wstring& root);

// outer\fence\target is the target, outer\logs\install.log the log, outer\work the
// working directory. A key that escapes the target by one or two levels lands in
// outer\fence or outer, both watched.
struct Sandbox {
    explicit Sandbox(const std::wstring& name);
    testing_support::ScratchDir outer;
    std::wstring target, log, work;

    // Writes a file below the target before the run (creating folders).
    void Put(const std::wstring& relative, const std::string& bytes) const;
    // Records everything outside the target; call after the last Put.
    void Seal();
    // The log path may be moved elsewhere (inside `outer`) before Seal.
    int32_t Start(const std::wstring& urls) const;
    // Start, wait for the end, read the result, shut down.
    Result Install(const std::wstring& urls) const;
    // The same through the verified start with a "|"-separated key list.
    Result InstallVerified(const std::wstring& urls, const std::wstring& keys) const;
    std::vector<std::string> Log() const { return testing_support::LogMessages(log); }

    Tree Outside() const;  // outer without the target's subtree and the log file
    Tree outside;          // Outside() at Seal
};

// What the target may hold after a run. Every file there must be listed; it
// must hold `before` (when given) or `after` (when given), and `after` on success.
struct Expected {
    std::wstring path;  // relative to the target, "\" separators, as stored
    const std::string* before = nullptr;
    const std::string* after = nullptr;
};

struct CheckOptions {
    bool logWritten = true;                 // false when the log path cannot be written
    std::vector<std::wstring> leftovers;    // ".download" files a run leaves (failed move)
};

// The invariants of every run: the result's code and text agree, every target file
// is its old content or its fully verified new content (the log aside, when the host
// keeps it there), no ".download" file remains but those listed and, after a failure
// that is no cancel, a prefix of a listed file's new content; no manifest copy
// remains, the log ends with the result, nothing changed outside.
void CheckRun(const Sandbox& box, const Result& result, const std::vector<Expected>& files,
              const CheckOptions& options = {});

// The text without its platform-worded tail: true when `text` begins with `prefix`
// and has more after it.
bool HasPrefixAndTail(const std::wstring& text, const std::wstring& prefix);

// A text as the engine gives it: exact, or a fixed beginning followed by the
// platform's own wording (an error text from the system's message tables).
struct Text {
    std::wstring text;
    bool platformTail = false;
};
inline Text Exactly(std::wstring text) { return {std::move(text), false}; }
inline Text ThenPlatformText(std::wstring prefix) { return {std::move(prefix), true}; }
bool Matches(const std::wstring& actual, const std::vector<Text>& accepted);
std::string Describe(const std::vector<Text>& accepted);

// The failure texts that name a count of tries.
std::wstring AllMirrorsFailed(const std::wstring& key, int mirrors, const std::wstring& lastError);
std::wstring NoManifest(int urls, const std::wstring& lastError);

// Replaces every "{name}" in `text` by its value.
std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values);

// Servers reset before and after; any session shut down after.
class ReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace reliability
