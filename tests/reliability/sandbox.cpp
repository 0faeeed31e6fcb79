#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

namespace reliability {

using testing_support::Dll;
using testing_support::Narrow;
using testing_support::ReadBytes;

namespace {

void Walk(const std::wstring& root, const std::wstring& relative, Tree& tree) {
    WIN32_FIND_DATAW data;
    const std::wstring here = relative.empty() ? root : root + L"\\" + relative;
    HANDLE find = FindFirstFileW((here + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[child] = "<dir>";
            Walk(root, child, tree);
        } else {
            tree[child] = ReadBytes(root + L"\\" + child);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Shown(const std::string& bytes) {
    return bytes.size() <= 40 ? "\"" + bytes + "\"" : std::to_string(bytes.size()) + " bytes";
}

// A failed run keeps what a file's temporary file holds of its new content, for the
// next run to continue: a non-empty prefix, shorter than the file. A cancel keeps none.
bool IsKeptPrefix(const Result& result, const std::vector<Expected>& files, const std::wstring& path,
                  const std::string& bytes) {
    if (result.first != 1 || result.second == L"Cancelled by user") return false;
    const std::wstring destination = Lower(path.substr(0, path.size() - std::wstring(L".download").size()));
    return std::any_of(files.begin(), files.end(), [&](const Expected& e) {
        return Lower(e.path) == destination && e.after && !bytes.empty() && bytes.size() < e.after->size() &&
               e.after->compare(0, bytes.size(), bytes) == 0;
    });
}

}  // namespace

Tree ReadTree(const std::wstring& root) {
    Tree tree;
    Walk(root, L"", tree);
    return tree;
}

Sandbox::Sandbox(const std::wstring& name)
    : outer(name), target(outer / L"fence\\target"), log(outer / L"logs\\install.log"), work(outer / L"work") {
    CreateDirectoryW((outer / L"fence").c_str(), nullptr);
    CreateDirectoryW(target.c_str(), nullptr);
    CreateDirectoryW((outer / L"logs").c_str(), nullptr);
    CreateDirectoryW(work.c_str(), nullptr);
    testing_support::WriteBytes(outer / L"fence\\neighbour.txt", "next to the target");
}

void Sandbox::Put(const std::wstring& relative, const std::string& bytes) const {
    std::wstring path = target + L"\\" + relative;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    for (size_t at = target.size() + 1; (at = path.find(L'\\', at)) != std::wstring::npos; ++at)
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    testing_support::WriteBytes(path, bytes);
}

// Outer's tree without the target's subtree and the log file, which the run writes.
Tree Sandbox::Outside() const {
    Tree tree = ReadTree(outer.path);
    const std::wstring logName = log.substr(outer.path.size() + 1);
    for (auto it = tree.begin(); it != tree.end();) {
        const std::wstring& path = it->first;
        const bool inTarget = path == L"fence\\target" || path.rfind(L"fence\\target\\", 0) == 0;
        it = inTarget || path == logName ? tree.erase(it) : std::next(it);
    }
    return tree;
}

void Sandbox::Seal() { outside = Outside(); }

int32_t Sandbox::Start(const std::wstring& urls) const {
    return Dll().Start(urls.c_str(), target.c_str(), log.c_str(), work.c_str());
}

namespace {

Result AwaitRun(int32_t started) {
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(Dll().WaitDone());
    const Result result = Dll().Result();
    Dll().Shutdown();
    return result;
}

}  // namespace

Result Sandbox::Install(const std::wstring& urls) const { return AwaitRun(Start(urls)); }

Result Sandbox::InstallVerified(const std::wstring& urls, const std::wstring& keys) const {
    return AwaitRun(Dll().StartVerified(urls.c_str(), target.c_str(), log.c_str(), work.c_str(), keys.c_str()));
}

bool HasPrefixAndTail(const std::wstring& text, const std::wstring& prefix) {
    return text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

void CheckRun(const Sandbox& box, const Result& result, const std::vector<Expected>& files,
              const CheckOptions& options) {
    const std::string run = "run ending with " + std::to_string(result.first) + " \"" + Narrow(result.second) + "\"";
    SCOPED_TRACE(run);

    // The result: exactly "OK" for success, a failure text otherwise.
    ASSERT_TRUE(result.first == 0 || result.first == 1) << "no result";
    if (result.first == 0)
        EXPECT_EQ(result.second, L"OK");
    else
        EXPECT_FALSE(result.second.empty() || result.second == L"OK");

    // The target: only listed files, each old or verified new content. A log that
    // the host keeps in the target is the run's own file, as is the installed version.
    const Tree now = ReadTree(box.target);
    const std::wstring logInTarget =
        Lower(box.log).rfind(Lower(box.target) + L"\\", 0) == 0 ? box.log.substr(box.target.size() + 1) : L"";
    for (const auto& entry : now) {
        if (entry.second == "<dir>") continue;
        const std::wstring& path = entry.first;
        if (Lower(path) == Lower(logInTarget) || path == L"tolvek_installed_version.txt") continue;
        const auto listed = std::find_if(files.begin(), files.end(),
                                         [&](const Expected& e) { return Lower(e.path) == Lower(path); });
        if (listed == files.end() && EndsWith(Lower(path), L".download")) {
            const bool allowed = std::find(options.leftovers.begin(), options.leftovers.end(), path) !=
                                     options.leftovers.end() ||
                                 IsKeptPrefix(result, files, path, entry.second);
            EXPECT_TRUE(allowed) << "temporary file left: " << Narrow(path) << " = " << Shown(entry.second);
            continue;
        }
        if (listed == files.end()) {
            ADD_FAILURE() << "unexpected file in the target: " << Narrow(path) << " = " << Shown(entry.second);
            continue;
        }
        const bool isOld = listed->before && entry.second == *listed->before;
        const bool isNew = listed->after && entry.second == *listed->after;
        EXPECT_TRUE(isOld || isNew) << Narrow(path) << " holds neither its old nor its new content: "
                                    << Shown(entry.second);
        if (result.first == 0 && listed->after) {
            EXPECT_TRUE(isNew) << Narrow(path) << " is not the new content after a successful run";
        }
    }
    for (const Expected& e : files) {
        const bool present = std::any_of(now.begin(), now.end(), [&](const Tree::value_type& entry) {
            return Lower(entry.first) == Lower(e.path) && entry.second != "<dir>";
        });
        if (e.before) {
            EXPECT_TRUE(present) << "a file that existed is gone: " << Narrow(e.path);
        }
        if (result.first == 0 && e.after) {
            EXPECT_TRUE(present) << "not installed: " << Narrow(e.path);
        }
    }

    // No manifest copy or temporary file of the run's own in the working directory.
    EXPECT_FALSE(testing_support::Exists(box.work + L"\\tolvek_launcher_manifest.json"));
    WIN32_FIND_DATAW left;
    const HANDLE found = FindFirstFileW((box.work + L"\\tolvek_launcher_manifest.json.*.download").c_str(), &left);
    EXPECT_EQ(found, INVALID_HANDLE_VALUE) << "left in the working directory: " << Narrow(left.cFileName);
    if (found != INVALID_HANDLE_VALUE) FindClose(found);

    // The log ends with the outcome.
    if (options.logWritten) {
        const std::vector<std::string> lines = box.Log();
        ASSERT_FALSE(lines.empty()) << "empty log";
        const std::string& last = lines.back();
        if (result.first == 0)
            EXPECT_EQ(last, "Online installation completed successfully");
        else
            EXPECT_EQ(last, "ERROR: " + Narrow(result.second));
    }

    // Nothing written, changed or removed outside the target.
    const Tree after = box.Outside();
    for (const auto& entry : after) {
        const auto old = box.outside.find(entry.first);
        if (old == box.outside.end())
            ADD_FAILURE() << "written outside the target: " << Narrow(entry.first) << " = " << Shown(entry.second);
        else
            EXPECT_EQ(entry.second, old->second) << "changed outside the target: " << Narrow(entry.first);
    }
    for (const auto& entry : box.outside)
        EXPECT_TRUE(after.count(entry.first)) << "removed outside the target: " << Narrow(entry.first);
}

bool Matches(const std::wstring& actual, const std::vector<Text>& accepted) {
    return std::any_of(accepted.begin(), accepted.end(), [&](const Text& t) {
        return t.platformTail ? HasPrefixAndTail(actual, t.text) : actual == t.text;
    });
}

std::string Describe(const std::vector<Text>& accepted) {
    std::string out;
    for (const Text& t : accepted)
        out += (out.empty() ? "\"" : " or \"") + Narrow(t.text) + (t.platformTail ? "\" + the platform's text" : "\"");
    return out;
}

std::wstring AllMirrorsFailed(const std::wstring& key, int mirrors, const std::wstring& lastError) {
    return L"NETWORK_UNREACHABLE: All CDN mirrors failed for " + key + L" (" + std::to_wstring(mirrors) +
           L" tried, 3 attempts each). Last error: " + lastError;
}

std::wstring NoManifest(int urls, const std::wstring& lastError) {
    return L"NETWORK_UNREACHABLE: Cannot download manifest from any URL (" + std::to_wstring(urls) +
           L" tried, 3 attempts each). Last error: " + lastError;
}

std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& value : values) {
        const std::string name = "{" + value.first + "}";
        for (size_t at = 0; (at = text.find(name, at)) != std::string::npos; at += value.second.size())
            text.replace(at, name.size(), value.second);
    }
    return text;
}

void ReliabilityTest::SetUp() {
    ASSERT_FALSE(testing_support::Servers().root.empty()) << "the test servers are not running";
    ASSERT_TRUE(Dll().loaded) << Narrow(Dll().loadError);
    testing_support::ResetServer(testing_support::Servers().httpUrl);
    testing_support::ResetServer(testing_support::Servers().httpsUrl);
}

void ReliabilityTest::TearDown() {
    Dll().Shutdown();
    testing_support::ResetServer(testing_support::Servers().httpUrl);
    testing_support::ResetServer(testing_support::Servers().httpsUrl);
}

}  // namespace reliability
