// The argument list and the tokenizer: a command line becomes an ordered list of owned
// strings in which every key (a token beginning with '-') is followed by at most one argument.
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

    char **items = nullptr;
    int count = 0;
};

// Split mode (1): the host's command line; job mode (0): a job line.
constexpr int kJobMode = 0;
constexpr int kSplitMode = 1;

ArgList *BuildArgList(const char *commandLine);
int GroupKeyArguments(char *buffer, ArgList *list, int splitMode);
void SplitCommandLine(char *buffer, ArgList *tokens);
int JoinKeyArgument(const char *key, const char *token, char **result);
int IsKeyPresent(const char *key, const ArgList *list);
int GetKeyPosition(const char *key, const ArgList *list);
void GetKeyArgument(const ArgList *list, const char *key, char **out);
void RemoveChar(char **variable, char c);
