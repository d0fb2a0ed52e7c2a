#include "cmdline/keys.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cmdline/ArgList.h"
#include "state/host_table.h"
#include "support/All_Func.h"

namespace {

const char kDebugRule[] = "--------------------------------------------------------";

bool IsLineEnd(char c) {
    return c == '\n' || c == '\r';
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

const char kQuote[] = "\"";
const char kColon[] = ":";

const char *const kInformationKeys[] = {"-HELP", "-LISTENC", "-BATCH", "-HELPENC", "-LISTDEC"};
const char *const kViewingKeys[] = {"-SHOWID", "-PLAY"};

template <size_t N> bool IsAnyKeyPresent(const char *const (&keys)[N], const ArgList *list) {
    for (const char *key : keys) {
        if (IsKeyPresent(key, list))
            return true;
    }
    return false;
}

bool BeginsWithDash(const char *text) {
    return text != nullptr && text[0] == '-';
}

int RefuseIncompatible() {
    std::printf("ERROR: non compatible keys used. Please read manual.\n\n");
    return 0;
}

int RefuseMissing() {
    std::printf("ERROR: missing important keys\n\n");
    return 0;
}

// The walk over key and argument pairs; an unknown key or a stray argument stops it.
bool CheckEachKey(const ArgList *list) {
    bool accepted = true;
    int i = 0;
    while (i < list->count) {
        const char *element = list->items[i];
        if (!BeginsWithDash(element))
            return false;
        int index = FindKey(element);
        if (index == kUnknownKey) {
            std::printf("ERROR: unknown key %s\n\n", element);
            NotifyUnknownKey(nullptr);
            return false;
        }
        const KeyEntry &entry = kKeyTable[index];
        bool hasArgument = i + 1 < list->count && !BeginsWithDash(list->items[i + 1]);
        if (hasArgument && !entry.takesArgument) {
            std::printf("ERROR: key %s must to be used without argument\n\n", element);
            accepted = false;
        }
        if (!hasArgument && entry.argumentRequired) {
            std::printf("ERROR: missing argument for key %s\n\n", element);
            accepted = false;
        }
        i += hasArgument ? 2 : 1;
    }
    return accepted;
}

// -RECURSIVE takes no argument but COPY, in any case.
bool CheckRecursiveArgument(const ArgList *list) {
    int position = GetKeyPosition("-RECURSIVE", list);
    if (position == 0 || position >= list->count)
        return true;
    const char *argument = list->items[position];
    if (argument == nullptr || BeginsWithDash(argument) || UpperCase(argument) == "COPY")
        return true;
    std::printf("ERROR: wrong parameter for key %s.\n\n", "-RECURSIVE");
    return false;
}

// 1 accept, 0 refuse, -1 the command needs the automatic encoder.
int ClassifyCombination(const ArgList *list) {
    bool hasEncoder = IsKeyPresent("-ENC", list);
    bool hasInput = IsKeyPresent("-I", list);
    bool hasOutput = IsKeyPresent("-O", list);
    if (IsAnyKeyPresent(kInformationKeys, list))
        return hasEncoder || hasInput || hasOutput ? RefuseIncompatible() : 1;
    if (IsAnyKeyPresent(kViewingKeys, list)) {
        if (hasEncoder || hasOutput)
            return RefuseIncompatible();
        return hasInput ? 1 : -1;
    }
    if (hasEncoder)
        return hasInput && hasOutput ? 1 : RefuseMissing();
    if (IsKeyPresent("-SETID", list)) {
        // With -O the tags go with a conversion, which needs an encoder like any other.
        if (!hasInput)
            return hasOutput ? RefuseMissing() : -1;
        return hasOutput ? -1 : 1;
    }
    return -1;
}

} // namespace

const KeyEntry kKeyTable[kKeyCount] = {
    {"-DELSOURCE", nullptr, 0, 0, 1},
    {"-RECURSIVE", nullptr, 1, 0, 2},
    {"-RESUME", nullptr, 0, 0, kNoHelpTopic},
    {"-I", kQuote, 1, 1, 0},
    {"-O", kQuote, 1, 1, 0},
    {"-BATCH", kQuote, 1, 1, 3},
    {"-CREATEBATCH", kQuote, 1, 1, 4},
    {"-ENC", nullptr, 1, 1, 5},
    {"-ENCPARAM", nullptr, 1, 0, 6},
    {"-DECPARAM", nullptr, 1, 0, 16},
    {"-TESTENC", nullptr, 0, 0, 7},
    {"-LISTENC", nullptr, 0, 0, 8},
    {"-HELPENC", nullptr, 1, 1, 9},
    {"-LISTDEC", nullptr, 0, 0, 8},
    {"-COPYID", nullptr, 1, 0, 10},
    {"-SETID", nullptr, 1, 1, 11},
    {"-SHOWID", nullptr, 0, 0, 12},
    {"-HELP", nullptr, 1, 0, kNoHelpTopic},
    {"-LISTDSP", nullptr, 1, 1, kNoHelpTopic},
    {"-DSP", nullptr, 1, 1, kNoHelpTopic},
    {"-DSPPARAM", kColon, 1, 0, kNoHelpTopic},
    {"-HELPDSP", nullptr, 1, 1, kNoHelpTopic},
    {"-DEBUG", nullptr, 0, 0, kNoHelpTopic},
    {"-CPU", nullptr, 1, 1, 13},
    {"-FIXFREQ", nullptr, 1, 1, 14},
    {"-PLAY", nullptr, 0, 0, 15},
    {"-STREAM", nullptr, 0, 0, kNoHelpTopic},
    {"-DEC", nullptr, 1, 1, 17},
    {"-PREVIEW", nullptr, 1, 1, 18},
    {"-WINAMP", nullptr, 1, 1, 19},
    {"-OVERWRITE", nullptr, 1, 1, kNoHelpTopic},
};

int FindKey(const char *text) {
    if (text == nullptr)
        return kUnknownKey;
    std::string upper = UpperCase(text);
    for (int i = 0; i < kKeyCount; ++i) {
        if (upper == kKeyTable[i].name)
            return i;
    }
    return kUnknownKey;
}

int CheckKeyArguments(ArgList *list) {
    if (list == nullptr || list->count == 0)
        return 0;
    bool accepted = CheckEachKey(list);
    // The -RECURSIVE argument is checked even after a refusal, so the user sees every fault.
    accepted = CheckRecursiveArgument(list) && accepted;
    return accepted ? 1 : 0;
}

int CheckKeyCombination(ArgList *list) {
    int verdict = ClassifyCombination(list);
    if (verdict >= 0)
        return verdict;
    list->Add("-ENC");
    list->Add("AUTO");
    if (!CheckKeyCombination(list))
        return RefuseMissing();
    return 1;
}

void NotifyUnknownKey(const char *key) {
    if (key == nullptr)
        GetHostTable().onUnknownKey();
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
