// Turns the program's arguments into the one command line that the core takes.
#pragma once

#include <string>

// Joins arguments[1..count-1] with single blanks and adds no quotes of its own: the core joins
// the words that follow a key and drops double quotes around paths, so the shell's quoting is
// all a path with blanks needs, while added quotes would end up inside -ENCPARAM or -SETID texts.
std::string JoinArguments(int count, const char *const *arguments);
