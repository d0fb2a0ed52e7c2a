#include "encoder_params.h"

#include <cstdio>
#include <cstring>

namespace knplugin {

namespace {

constexpr size_t kMaxDigits = 9; // keeps every accepted number inside an int

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(const char *a, size_t length, const char *b) {
    if (std::strlen(b) != length)
        return false;
    for (size_t i = 0; i < length; i++) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

bool ParseNumber(const char *text, size_t length, int &number) {
    bool negative = length > 0 && text[0] == '-';
    size_t first = negative ? 1 : 0;
    if (length == first || length - first > kMaxDigits)
        return false;
    long value = 0;
    for (size_t i = first; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    number = static_cast<int>(negative ? -value : value);
    return true;
}

bool ParseValue(const ParamKey &key, const char *text, size_t length, int &value) {
    if (key.words == nullptr)
        return ParseNumber(text, length, value) && value >= key.minValue && value <= key.maxValue;
    for (int i = 0; key.words[i] != nullptr; i++) {
        if (SameText(text, length, key.words[i])) {
            value = i;
            return true;
        }
    }
    return false;
}

int FindKey(const ParamGrammar &grammar, const char *name, size_t length) {
    for (int i = 0; i < grammar.count; i++) {
        if (SameText(name, length, grammar.keys[i].name))
            return i;
    }
    return -1;
}

// One "key:value" item of `length` characters.
bool ParseItem(const char *item, size_t length, const ParamGrammar &grammar, ParamValues &values) {
    const char *colon = static_cast<const char *>(std::memchr(item, ':', length));
    if (colon == nullptr)
        return false;
    int key = FindKey(grammar, item, static_cast<size_t>(colon - item));
    if (key < 0 || values.Has(key))
        return false;
    int value = 0;
    size_t valueLength = length - static_cast<size_t>(colon + 1 - item);
    if (!ParseValue(grammar.keys[key], colon + 1, valueLength, value))
        return false;
    values.Set(key, value);
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

bool ParseParams(const char *text, const ParamGrammar &grammar, ParamValues &values) {
    if (text == nullptr)
        return false;
    ParamValues parsed;
    const char *p = text;
    while (*p != '\0') {
        if (IsBlank(*p)) {
            p++;
            continue;
        }
        const char *end = p;
        while (*end != '\0' && !IsBlank(*end))
            end++;
        if (!ParseItem(p, static_cast<size_t>(end - p), grammar, parsed))
            return false;
        p = end;
    }
    values = parsed;
    return true;
}

std::string FormatValue(const ParamKey &key, int value) {
    if (value == kUnset)
        return "";
    if (key.words == nullptr)
        return std::to_string(value);
    return key.words[value];
}

std::string FormatParams(const ParamGrammar &grammar, const ParamValues &values) {
    std::string text;
    for (int i = 0; i < grammar.count; i++) {
        if (!values.Has(i))
            continue;
        if (!text.empty())
            text += ' ';
        text +=
            std::string(grammar.keys[i].name) + ':' + FormatValue(grammar.keys[i], values.Get(i));
    }
    return text;
}

void CopyText(const std::string &text, char *buffer, size_t size) {
    if (buffer != nullptr && size > 0)
        std::snprintf(buffer, size, "%s", text.c_str());
}

} // namespace knplugin
