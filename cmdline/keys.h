// The key table and the two checks that run before a command is parsed.
#pragma once

class ArgList;

struct KeyEntry {
    const char *name;      // upper case, with the leading '-'
    const char *separator; // split-mode separator, or null
    int takesArgument;
    int argumentRequired;
    int helpTopic; // index into the help texts; kNoHelpTopic = none
};

constexpr int kKeyCount = 31;
constexpr int kUnknownKey = 10000;
constexpr int kNoHelpTopic = 100;

extern const KeyEntry kKeyTable[kKeyCount];

int FindKey(const char *text);
int CheckKeyArguments(ArgList *list);
int CheckKeyCombination(ArgList *list);
void NotifyUnknownKey(const char *key);
