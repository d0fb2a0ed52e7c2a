#include "support/All_Func.h"

#include <cstring>

#include "platform/platform.h"

namespace {

// Every text variable's block: length + 1 bytes, zero-filled, released with delete[].
char *NewZeroedText(size_t length) {
    return new char[length + 1]();
}

} // namespace

int AssignString(const char *source, char **variable) {
    if (variable == nullptr)
        return 0;
    if (source == nullptr) {
        FreeString(variable);
        return 0;
    }
    // Copy before freeing: the source may be the variable's own string.
    size_t length = std::strlen(source);
    char *copy = NewZeroedText(length);
    std::memcpy(copy, source, length);
    delete[] * variable;
    *variable = copy;
    return static_cast<int>(length);
}

void AddStr(char **variable, const char *text) {
    if (variable == nullptr)
        return;
    if (*variable == nullptr || **variable == '\0') {
        AssignString(text, variable);
        return;
    }
    if (text == nullptr)
        return;
    size_t oldLength = std::strlen(*variable);
    size_t textLength = std::strlen(text);
    char *joined = NewZeroedText(oldLength + textLength);
    std::memcpy(joined, *variable, oldLength);
    std::memcpy(joined + oldLength, text, textLength);
    AssignString(joined, variable);
    delete[] joined;
}

int GetTrim(char **variable) {
    if (variable == nullptr || *variable == nullptr)
        return 0;
    char *copy = *variable;
    *variable = nullptr;
    size_t first = 0;
    size_t end = std::strlen(copy);
    while (first < end && copy[first] == ' ')
        ++first;
    while (end > first && copy[end - 1] == ' ')
        --end;
    if (first == end) {
        delete[] copy;
        return 0;
    }
    copy[end] = '\0';
    int length = AssignString(copy + first, variable);
    delete[] copy;
    return length;
}

char *AddSlash(const char *text) {
    if (text == nullptr)
        return nullptr;
    size_t length = std::strlen(text);
    bool hasSlash = length > 0 && text[length - 1] == platform::kPathSeparator;
    char *result = NewZeroedText(hasSlash ? length : length + 1);
    std::memcpy(result, text, length);
    if (!hasSlash)
        result[length] = platform::kPathSeparator;
    return result;
}

void FreeString(char **variable) {
    if (variable == nullptr)
        return;
    delete[] * variable;
    *variable = nullptr;
}

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperCase(std::string_view text) {
    std::string upper(text);
    for (char &c : upper)
        c = UpperAscii(c);
    return upper;
}
