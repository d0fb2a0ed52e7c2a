// The key table, the two checks that run before a command is parsed, and the grouping of a
// line's tokens into keys with their arguments.
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

// The index of the key (any case) in kKeyTable, or kUnknownKey.
int FindKey(const char *text);
// Checks each key and its argument against the key table, printing an "ERROR: " line for
// each fault; 1 when all are accepted, else 0.
int CheckKeyArguments(ArgList *list);
// Checks that the keys form a command; 1 or 0 (after an "ERROR: " line). When they form none
// as they stand, "-ENC" "AUTO" is appended to the caller's list (it stays there, so the
// command becomes a conversion with the encoder chosen by the output's extension) and the
// combination is checked again.
int CheckKeyCombination(ArgList *list);
// Tells the host about an unknown key (onUnknownKey) when `key` is null.
void NotifyUnknownKey(const char *key);

// Splits `buffer` (written in place; a job line's line end is cut) into `list`, each key
// followed by at most one argument, and checks the keys; 1, or 0 with the list cleared.
int GroupKeyArguments(char *buffer, ArgList *list, int splitMode);
// For a key that takes an argument, assigns `token` to `*result`, its pieces after the key's
// separator quoted; 1 when the key takes an argument, 0 when not or when it is unknown.
int JoinKeyArgument(const char *key, const char *token, char **result);
// The checked argument list of a host's command line (the caller deletes it), or null after
// an "ERROR: " line; with -DEBUG the list is printed.
ArgList *BuildArgList(const char *commandLine);
