#include "rule_vectors.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>

namespace rule_vectors {

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
        pieces.push_back(text.substr(start, end - start));
    pieces.push_back(text.substr(start));
    return pieces;
}

bool IsHexUnit(const std::string& digits) {
    if (digits.size() != 4) return false;
    for (const char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

bool DecodeField(const std::string& field, std::wstring& text) {
    text.clear();
    std::string literal;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            literal += field[i];
            continue;
        }
        text += testing_support::Widen(literal);
        literal.clear();
        const char escape = i + 1 < field.size() ? field[i + 1] : '\0';
        const std::string digits = i + 2 < field.size() ? field.substr(i + 2, 4) : std::string();
        if (escape == '\\' || escape == 't' || escape == 'n' || escape == 'r') {
            text += escape == 't' ? L'\t' : escape == 'n' ? L'\n' : escape == 'r' ? L'\r' : L'\\';
            i += 1;
        } else if (escape == 'u' && IsHexUnit(digits)) {
            text += static_cast<wchar_t>(std::strtoul(digits.c_str(), nullptr, 16));
            i += 5;
        } else {
            return false;
        }
    }
    text += testing_support::Widen(literal);
    return true;
}

const std::wstring& Row::operator[](const std::string& column) const {
    static const std::wstring none;
    const auto field = fields.find(column);
    if (field != fields.end()) return field->second;
    ADD_FAILURE() << name << ": no column " << column;
    return none;
}

bool Row::Is(const std::string& column, const wchar_t* yes, const wchar_t* no) const {
    const std::wstring& word = (*this)[column];
    EXPECT_TRUE(word == yes || word == no) << name << ": " << column << " is neither "
                                           << testing_support::Narrow(yes) << " nor "
                                           << testing_support::Narrow(no);
    return word == yes;
}

std::vector<Row> Rows() {
    const std::wstring path = testing_support::PathFromEnvironment("TOLVEK_RULE_VECTORS");
    const std::string text = path.empty() ? std::string() : testing_support::ReadBytes(path);
    std::vector<Row> rows;
    std::vector<std::string> columns;
    int number = 0;
    for (const std::string& line : Split(text, '\n')) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> values = Split(line, '\t');
        if (columns.empty()) {
            columns = values;
            continue;
        }
        Row row;
        row.name = "path_rules.tsv:" + std::to_string(number);
        if (values.size() != columns.size()) {
            ADD_FAILURE() << row.name << ": " << values.size() << " fields, " << columns.size() << " columns";
            continue;
        }
        for (size_t i = 0; i < values.size(); ++i)
            if (!DecodeField(values[i], row.fields[columns[i]]))
                ADD_FAILURE() << row.name << ": an unknown escape in " << values[i];
        row.name += " key " + ::testing::PrintToString(row["key"]);
        rows.push_back(std::move(row));
    }
    EXPECT_FALSE(rows.empty()) << "TOLVEK_RULE_VECTORS names no table of rules: " << testing_support::Narrow(path);
    return rows;
}

}  // namespace rule_vectors
