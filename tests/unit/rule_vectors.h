// The table of path, uninstaller-name and URL rules that the engine's tests and the
// publishing tools' tests both read (tests/vectors/path_rules.tsv; its head gives the
// format), so the two sides cannot drift apart.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace rule_vectors {

struct Row {
    std::string name;  // "path_rules.tsv:LINE key ...", for failure messages
    std::map<std::string, std::wstring> fields;  // column -> decoded text
    // The field of `column`; a column the table lacks fails the current test.
    const std::wstring& operator[](const std::string& column) const;
    // A two-valued column: true for `yes`, false for `no`; any other word fails the test.
    bool Is(const std::string& column, const wchar_t* yes, const wchar_t* no) const;
};

// The rows of the table that TOLVEK_RULE_VECTORS names; a table that cannot be read
// whole fails the current test.
std::vector<Row> Rows();

// One field with its escapes decoded: \\, \t, \n, \r and \uXXXX (one UTF-16 unit); the
// rest is UTF-8. False on any other escape.
bool DecodeField(const std::string& field, std::wstring& text);

}  // namespace rule_vectors
