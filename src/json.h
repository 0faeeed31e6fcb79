// JSON documents: the value model with its lookups, and the parser.
// Calls nothing else of the engine but the failure value; pure C++, so the parser
// of the network's bytes builds natively as well.
#pragma once

#include "failure.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace tolvek {

enum class JsonKind : int32_t { Null = 0, Boolean = 1, Number = 2, String = 3, Array = 4, Object = 5 };

struct JsonMember;

// One value, 16 bytes: the kind, a count and the payload that the kind names. Strings,
// elements and members live in the arenas of the JsonDocument that holds the value,
// and stay valid as long as that document does.
struct JsonValue {
    JsonKind kind = JsonKind::Null;
    uint32_t count = 0;  // String: code units; Array: elements; Object: members; else 0
    union {
        double number = 0.0;
        bool boolean;
        const wchar_t* characters;
        const JsonValue* elements;
        const JsonMember* members;  // ascending UTF-16 code-unit order of names, no two alike
    };
};

struct JsonMember {
    JsonValue name;  // kind String
    JsonValue value;
};

// A contiguous run of elements or members, for range-for and indexing.
template <class T>
struct JsonRange {
    const T* first = nullptr;
    size_t length = 0;
    const T* begin() const { return first; }
    const T* end() const { return first + length; }
    size_t size() const { return length; }
    bool empty() const { return length == 0; }
    const T& operator[](size_t index) const { return first[index]; }
};

// An arena's storage: values and characters need no destruction, and are written only
// by the parse that fills them, so the storage is never initialised beforehand.
struct ArenaRelease {
    void operator()(void* block) const { ::operator delete(block); }
};
template <class T>
using JsonArena = std::unique_ptr<T[], ArenaRelease>;

// A parsed document: its root value and the three arenas that every value of the tree
// points into, each sized exactly by the parse. Releasing it frees three blocks.
struct JsonDocument {
    JsonValue root;
    JsonArena<JsonValue> elements;
    JsonArena<JsonMember> members;
    JsonArena<wchar_t> characters;
};

// The payload as the kind names it; empty for any other kind.
std::wstring_view StringOf(const JsonValue& value);
JsonRange<JsonValue> ElementsOf(const JsonValue& value);
JsonRange<JsonMember> MembersOf(const JsonValue& value);

// The member's value, or null when `object` is not an Object or lacks the key.
const JsonValue* FindMember(const JsonValue& object, std::wstring_view key);
double GetNumber(const JsonValue& object, std::wstring_view key, double defaultValue);
std::wstring GetString(const JsonValue& object, std::wstring_view key,
                       const std::wstring& defaultValue);

// A number truncated toward zero, with a defined result outside the signed 64-bit
// range: NaN gives 0, larger values the nearest limit.
int64_t TruncateToInt64(double number);

// The text a parse reads, window by window, twice: `read` hands out up to `room`
// UTF-16 code units following those given before (0 at the end), `restart` begins
// again from the first. A large text need never be held as UTF-16 at once.
struct JsonText {
    std::function<size_t(wchar_t* units, size_t room)> read;
    std::function<void()> restart;
};

// The members of the root object's first member named `name`, when its value is an
// object, handed over one by one in document order instead of being kept in the
// document; the document holds that value as an Object without members. A value
// handed over lives until the next one. `reserve` comes first, with the number of
// members and the code units of their names.
struct JsonMemberStream {
    std::wstring_view name;
    std::function<void(size_t members, size_t nameUnits)> reserve;
    std::function<void(std::wstring_view name, const JsonValue& value)> member;
};

// Parses a whole document into `out`, replacing what it held; a Parse failure holds
// one fixed message. A raised cancel ends the parse within a few megabytes of text.
Outcome ParseJson(const JsonText& text, JsonDocument& out, const std::atomic<bool>* cancel = nullptr,
                  const JsonMemberStream* stream = nullptr);
Outcome ParseJson(const std::wstring& text, JsonDocument& out, const std::atomic<bool>* cancel = nullptr);

}  // namespace tolvek
