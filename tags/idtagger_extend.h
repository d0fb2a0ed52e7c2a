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
void ParseSetIdSafe(CommandRecord *record);
int ApplySetIdFields(CommandRecord *record);
