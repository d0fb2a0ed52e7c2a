#include "cmdline/keys.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cmdline/ArgList.h"
#include "core/core.h"

namespace {

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

std::string UpperCase(const char *text) {
    std::string upper = text;
    for (char &c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
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
