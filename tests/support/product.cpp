#include "product.h"

#include <algorithm>
#include <cstdio>

namespace testing_support {

std::string JsonString(const std::wstring& text) {
    std::string out = "\"";
    for (char c : Narrow(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

Product::Product(const std::wstring& name) : name_(name) {
    root_ = Servers().root + L"\\" + name_;
    CreateDirectoryW(root_.c_str(), nullptr);
}

std::wstring Product::MirrorUrl(const std::wstring& server, const std::wstring& mirror) const {
    return server + L"/" + name_ + L"/" + mirror;
}

std::wstring Product::ManifestUrl(const std::wstring& server) const {
    return server + L"/" + name_ + L"/manifest.json";
}

std::string Product::ManifestJson(const std::vector<ProductFile>& files,
                                  const std::vector<std::wstring>& cdnList, const std::string& extra) {
    std::string json = "{\"files\": {";
    for (size_t i = 0; i < files.size(); ++i)
        json += (i ? ", " : "") + JsonString(files[i].key) + ": {\"size\": " +
                std::to_string(files[i].content.size()) + ", \"hash\": \"" + Sha256Hex(files[i].content) +
                "\"}";
    json += "}, \"cdn_list\": [";
    for (size_t i = 0; i < cdnList.size(); ++i) json += (i ? ", " : "") + JsonString(cdnList[i]);
    return json + "]" + extra + "}";
}

void Product::Publish(const std::vector<ProductFile>& files, const std::vector<std::wstring>& mirrorDirs,
                      const std::vector<std::wstring>& cdnList, const std::string& extra) {
    for (const auto& file : files) {
        if (file.key.find(L"..") != std::wstring::npos) continue;  // never served
        for (const auto& mirror : mirrorDirs) Store(mirror + L"/" + file.key, file.content);
    }
    Store(L"manifest.json", ManifestJson(files, cdnList, extra));
}

void Product::Store(const std::wstring& relative, const std::string& bytes) const {
    std::wstring path = root_ + L"\\" + relative;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    for (size_t at = root_.size() + 1; (at = path.find(L'\\', at)) != std::wstring::npos; ++at)
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    WriteBytes(path, bytes);
}

}  // namespace testing_support
