// Text variables: a `char *` that holds null or the only pointer to an owned, zero-terminated
// string allocated with new[] (length + 1 bytes, zero-filled). These routines free the old
// string whenever they replace it; they are also handed to the tag plug-in.
#pragma once

#include <string>
#include <string_view>

int AssignString(const char *source, char **variable);
void AddStr(char **variable, const char *text);
int GetTrim(char **variable);
char *AddSlash(const char *text);

// Releases a text variable and sets it to null.
void FreeString(char **variable);

// Keys and extensions compare in ASCII upper case: other bytes stay as they are.
char UpperAscii(char c);
// A copy of `text` with its ASCII letters in upper case.
std::string UpperCase(std::string_view text);
