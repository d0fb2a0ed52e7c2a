#include "cmdline/ArgList.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cmdline/keys.h"
#include "core/core.h"
#include "support/All_Func.h"

namespace {

const char kDebugRule[] = "--------------------------------------------------------";

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

bool IsLineEnd(char c) {
    return c == '\n' || c == '\r';
}

bool BeginsWithDash(const char *text) {
    return text != nullptr && text[0] == '-';
}

// Upper case of ASCII letters only, the way keys are compared.
std::string UpperCase(const char *text) {
    std::string upper = text;
    for (char &c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

// A line read from a job file still carries its line end; at most two such characters go.
void CutLineEnd(char *buffer) {
    size_t length = std::strlen(buffer);
    if (length <= 2 || !IsLineEnd(buffer[length - 1]))
        return;
    buffer[length - 1] = '\0';
    if (IsLineEnd(buffer[length - 2]))
        buffer[length - 2] = '\0';
}

// Keeps a split-mode argument word: the words after one key are joined by one blank.
void AppendArgumentWord(char **pending, const char *word) {
    if (*pending != nullptr && **pending != '\0')
        AddStr(pending, " ");
    AddStr(pending, word);
}

// Hands the argument gathered for the current key to the list, if there is one.
void FlushPending(char **pending, ArgList *list) {
    if (*pending == nullptr)
        return;
    list->Add(*pending);
    FreeString(pending);
}

// The walk over the tokens; it stops early at an empty token, an argument without a key, or
// (split mode) an argument that its key cannot take.
void WalkTokens(const ArgList &tokens, ArgList *list, int splitMode) {
    int currentKey = -1;
    char *pending = nullptr;
    for (int i = 0; i < tokens.count; ++i) {
        const char *token = tokens.items[i];
        if (token == nullptr)
            continue;
        if (*token == '\0')
            break;
        if (token[0] == '-') {
            if (currentKey >= 0)
                FlushPending(&pending, list);
            currentKey = list->Add(token) - 1;
            continue;
        }
        if (currentKey < 0)
            break;
        if (splitMode == kJobMode) {
            AssignString(token, &pending);
            continue;
        }
        char *word = nullptr;
        int accepted = JoinKeyArgument(list->items[currentKey], token, &word);
        if (accepted && word != nullptr)
            AppendArgumentWord(&pending, word);
        FreeString(&word);
        if (!accepted)
            break;
    }
    FlushPending(&pending, list);
}

void PrintDebugListing(const ArgList &list) {
    std::printf("Debug :\n%s\n", kDebugRule);
    for (int i = 0; i < list.count; ++i)
        std::printf("%s\n", list.items[i] != nullptr ? list.items[i] : "");
    std::printf("%s\n\n", kDebugRule);
}

} // namespace

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

int GroupKeyArguments(char *buffer, ArgList *list, int splitMode) {
    if (buffer == nullptr) {
        list->Clear();
        return 0;
    }
    CutLineEnd(buffer);
    ArgList tokens;
    SplitCommandLine(buffer, &tokens);
    WalkTokens(tokens, list, splitMode);
    if (CheckKeyArguments(list))
        return 1;
    list->Clear();
    return 0;
}

int JoinKeyArgument(const char *key, const char *token, char **result) {
    int index = FindKey(key);
    if (index == kUnknownKey) {
        std::printf("ERROR: unknown key %s\n\n", key);
        NotifyUnknownKey(nullptr);
        return 0;
    }
    const KeyEntry &entry = kKeyTable[index];
    if (!entry.takesArgument)
        return 0;
    if (entry.separator == nullptr) {
        AssignString(token, result);
        return 1;
    }
    std::string pieces = token;
    char *state = pieces.data();
    if (char *first = NextToken(&state, entry.separator))
        AddStr(result, first);
    std::string rest;
    while (char *piece = NextToken(&state, entry.separator))
        rest += piece;
    if (rest.empty())
        return 1;
    std::erase(rest, '"');
    std::string quoted = *result != nullptr ? *result : "";
    quoted += entry.separator;
    quoted += '"' + rest + '"';
    AssignString(quoted.c_str(), result);
    return 1;
}

ArgList *BuildArgList(const char *commandLine) {
    const char *line = commandLine != nullptr ? commandLine : "";
    // Never cut a line silently: a shortened path could name another file.
    if (std::strlen(line) > KERNOVA_MAX_COMMAND_LINE) {
        std::printf("ERROR: command line longer than %d characters\n\n", KERNOVA_MAX_COMMAND_LINE);
        return nullptr;
    }
    char buffer[KERNOVA_MAX_COMMAND_LINE + 1] = {};
    std::snprintf(buffer, sizeof buffer, "%s", line);
    ArgList *list = new ArgList;
    if (GroupKeyArguments(buffer, list, kSplitMode) != 1) {
        delete list;
        return nullptr;
    }
    if (IsKeyPresent("-DEBUG", list))
        PrintDebugListing(*list);
    return list;
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
