// A product published on the test mirror server: files under one or more mirror
// directories and a manifest that lists them with size and digest.
#pragma once

#include "test_support.h"

#include <string>
#include <vector>

namespace testing_support {

struct ProductFile {
    std::wstring key;
    std::string content;
};

// A JSON string literal (UTF-8) for the text, with quotes, backslashes and
// control characters escaped.
std::string JsonString(const std::wstring& text);

class Product {
public:
    // Served at /<name>/ on every test server (they share one root).
    explicit Product(const std::wstring& name);
    std::wstring MirrorUrl(const std::wstring& server, const std::wstring& mirror) const;
    std::wstring ManifestUrl(const std::wstring& server = Servers().httpUrl) const;
    // The manifest text: every file with its size and digest, the mirrors as
    // "cdn_list", then `extra` (members starting with ", ") before the last brace.
    static std::string ManifestJson(const std::vector<ProductFile>& files,
                                    const std::vector<std::wstring>& cdnList,
                                    const std::string& extra = "");
    // Stores the files in every mirror directory (keys with ".." are never stored)
    // and the manifest as manifest.json.
    void Publish(const std::vector<ProductFile>& files, const std::vector<std::wstring>& mirrorDirs,
                 const std::vector<std::wstring>& cdnList, const std::string& extra = "");
    // Writes bytes at a path relative to the product's directory, creating folders.
    void Store(const std::wstring& relative, const std::string& bytes) const;

private:
    std::wstring name_;
    std::wstring root_;
};

}  // namespace testing_support
