#include "cmdline/ArgList.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "support/All_Func.h"

namespace {

bool BeginsWithDash(const char *text) {
    return text != nullptr && text[0] == '-';
}

} // namespace

// strtok without its hidden static state, so that two command lines can be tokenized at
// once: skips leading delimiters, cuts at the next delimiter and resumes after it. The
// delimiter set may differ from one call to the next.
char *NextToken(char **state, const char *delimiters) {
    char *start = *state + std::strspn(*state, delimiters);
    if (*start == '\0') {
        *state = start;
        return nullptr;
    }
    char *end = start + std::strcspn(start, delimiters);
    if (*end == '\0') {
        *state = end;
    } else {
        *end = '\0';
        *state = end + 1;
    }
    return start;
}

ArgList::~ArgList() {
    Clear();
}

int ArgList::Add(const char *text) {
    char **grown = new char *[count + 1];
    for (int i = 0; i < count; ++i)
        grown[i] = items[i];
    grown[count] = nullptr;
    AssignString(text, &grown[count]);
    delete[] items;
    items = grown;
    return ++count;
}

int ArgList::AppendToLast(const char *text) {
    if (count == 0)
        return Add(text);
    std::string joined = items[count - 1] != nullptr ? items[count - 1] : "";
    joined += ' ';
    joined += text != nullptr ? text : "";
    AssignString(joined.c_str(), &items[count - 1]);
    return count;
}

void ArgList::Clear() {
    for (int i = 0; i < count; ++i)
        FreeString(&items[i]);
    delete[] items;
    items = nullptr;
    count = 0;
}

void SplitCommandLine(char *buffer, ArgList *tokens) {
    char *state = buffer;
    while (char *token = NextToken(&state, " ")) {
        if (token[0] != '|') {
            tokens->Add(token);
            continue;
        }
        size_t length = std::strlen(token);
        if (token[length - 1] == '|') {
            token[length - 1] = '\0';
            tokens->Add(length > 1 ? token + 1 : token);
            continue;
        }
        // A barred item with blanks: the blank that ended the token comes back as the
        // AppendToLast blank, and the rest runs to the closing bar.
        tokens->Add(token + 1);
        if (char *piece = NextToken(&state, "|"))
            tokens->AppendToLast(piece);
    }
}

int IsKeyPresent(const char *key, const ArgList *list) {
    return GetKeyPosition(key, list) != 0 ? 1 : 0;
}

int GetKeyPosition(const char *key, const ArgList *list) {
    if (key == nullptr || list == nullptr)
        return 0;
    for (int i = 0; i < list->count; ++i) {
        if (list->items[i] != nullptr && UpperCase(list->items[i]) == key)
            return i + 1;
    }
    return 0;
}

void GetKeyArgument(const ArgList *list, const char *key, char **out) {
    int position = GetKeyPosition(key, list);
    if (position == 0 || position >= list->count)
        return;
    const char *argument = list->items[position];
    if (argument == nullptr || BeginsWithDash(argument))
        return;
    AssignString(argument, out);
}

void RemoveChar(char **variable, char c) {
    if (*variable == nullptr)
        return;
    std::string kept = *variable;
    std::erase(kept, c);
    AssignString(kept.c_str(), variable);
}
