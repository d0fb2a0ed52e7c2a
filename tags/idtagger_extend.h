// The tag plug-in and the ID tag commands.
#pragma once

#include "kernova/tagger.h"

struct CommandRecord;

extern TagTable *tagTable;

int initIDTagger();
void DeInitIDTagModule();
void ShowIdTags(CommandRecord *record);
void ShowTagField(int field, int kind, int code);
int SetIdTags(CommandRecord *record);
// -SETID on `file`, the messages naming `shownName`: a conversion tags its temporary output
// under the output's name.
int SetIdTagsOf(CommandRecord *record, const char *file, const char *shownName);
void ParseSetIdSafe(CommandRecord *record);
int ApplySetIdFields(CommandRecord *record);
