// The parser's outcome as the JSON tables state it: parsed or not, and the message.
#pragma once

#include "cancel.h"
#include "json.h"

#include <string>

inline bool ParseText(const std::wstring& text, tolvek::JsonDocument& document, std::wstring& message,
                      const tolvek::CancelSignal* cancel = nullptr) {
    const tolvek::Outcome outcome = tolvek::ParseJson(text, document, cancel ? &cancel->raised : nullptr);
    message = outcome.text;
    return outcome.ok();
}
