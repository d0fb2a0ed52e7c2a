// Text variables: a `char *` that holds null or the only pointer to an owned, zero-terminated
// string allocated with new[] (length + 1 bytes, zero-filled). These routines free the old
// string whenever they replace it; they are also handed to the tag plug-in.
#pragma once

int AssignString(const char *source, char **variable);
void AddStr(char **variable, const char *text);
int GetTrim(char **variable);
char *AddSlash(const char *text);

// Releases a text variable and sets it to null.
void FreeString(char **variable);
