// JSON documents: the value model with its lookups, and the parser.
// Calls nothing else of the engine.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tolvek {

enum class JsonKind : int32_t { Null = 0, Boolean = 1, Number = 2, String = 3, Array = 4, Object = 5 };

// Every payload exists side by side; `kind` says which one is meaningful.
struct JsonValue {
    JsonKind kind = JsonKind::Null;
    bool boolean = false;
    double number = 0.0;
    std::wstring string;
    std::vector<JsonValue> array;
    std::map<std::wstring, JsonValue> members;  // ascending UTF-16 code-unit order
};

// The member's value, or null when `object` is not an Object or lacks the key.
const JsonValue* FindMember(const JsonValue& object, const std::wstring& key);
double GetNumber(const JsonValue& object, const std::wstring& key, double defaultValue);
std::wstring GetString(const JsonValue& object, const std::wstring& key,
                       const std::wstring& defaultValue);

// A number truncated toward zero, with a defined result outside the signed 64-bit
// range: NaN gives 0, larger values the nearest limit.
int64_t TruncateToInt64(double number);

// Parses a whole document into `out`; on failure `error` holds one fixed message.
bool ParseJson(const std::wstring& text, JsonValue& out, std::wstring& error);

}  // namespace tolvek
