// The argument list, the tokenizer that splits a line into it, and the key lookups on it.
// Keys are compared in ASCII upper case; arguments keep their case.
#pragma once

class ArgList {
  public:
    ArgList() = default;
    ArgList(const ArgList &) = delete;
    ArgList &operator=(const ArgList &) = delete;
    virtual ~ArgList();

    int Add(const char *text);          // stores a copy (null gives a null element); new count
    int AppendToLast(const char *text); // last element becomes: last, one blank, text
    void Clear();

    // The list owns every element (text variables) and the array.
    char **items = nullptr;
    int count = 0;
};

// Split mode (1): the host's command line; job mode (0): a job line.
constexpr int kJobMode = 0;
constexpr int kSplitMode = 1;

// strtok without hidden state: the next token of `*state` up to one of `delimiters`, cut in
// place (the buffer is written); null when none is left. `*state` moves past the token.
char *NextToken(char **state, const char *delimiters);
// Splits `buffer` (written in place) at blanks into `tokens`; "|a b|" is one token "a b".
void SplitCommandLine(char *buffer, ArgList *tokens);
// 1 when the key (upper case, with its '-') is in the list, else 0.
int IsKeyPresent(const char *key, const ArgList *list);
// The key's position counted from 1, or 0 when it is absent.
int GetKeyPosition(const char *key, const ArgList *list);
// Assigns the element after the key to `*out` when it is an argument (not a key); leaves
// `*out` unchanged otherwise.
void GetKeyArgument(const ArgList *list, const char *key, char **out);
// Removes every `c` from the text variable; a null variable stays null.
void RemoveChar(char **variable, char c);
