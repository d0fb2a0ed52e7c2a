// Listings, help and the encoder test.
#pragma once

struct CommandRecord;
struct ModuleList;

void ListModules(int decoders, const char *word);
void PrintModuleList(const char *word, const ModuleList *list, int winampMark);
void HelpJob(CommandRecord *record);
void EncoderHelpJob(CommandRecord *record);
char *GetEncoderHelpText(const char *encoderName);
int TestEncoderJob(CommandRecord *record);

extern const char *const kHelpTexts[20];
