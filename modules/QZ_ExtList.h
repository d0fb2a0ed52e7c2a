// Module records and the three module lists, plus the folder scans that fill them. The lists
// own their records, and each record owns its texts (text variables); extensions are kept in
// upper case. The lists live from start-up to shut-down and are used on the command thread.
#pragma once

#include <cstdint>

struct ModuleRecord {
    char *fileName; // full path of the plug-in library
    char *description;
    char **extensions; // entries such as "MP3;MP2"
    char **extensionDescriptions;
    uint8_t extensionCount;
};

struct ModuleList {
    ModuleRecord **modules;
    uint8_t count;
};

enum ModuleListKind {
    kInputModules = 0,
    kWinampInputModules = 1,
    kOutputModules = 2,
};

// Adds one pair of `text` ("EXT;EXT", zero, description, zero) to the record; the bytes of
// the pair, 0 at an empty text.
unsigned AddExtToList(ModuleRecord *record, const char *text);
// Adds every entry of a Winamp FileExtensions text (pairs of zero-terminated strings).
void StrToExtList(ModuleRecord *record, const char *text);
// Hands the record (now owned by the list) to the end of the list.
void AddMdlInList(ModuleList *list, ModuleRecord *record);
// Releases the record's texts and arrays; the record itself stays the caller's.
void ClearModStruct(ModuleRecord *record);
// Releases every record of the list and empties it.
void ClearModListStruct(ModuleList *list);
// The list of a ModuleListKind; null for any other number.
ModuleList *GetModuleList(int kind);
// True when the list of that kind holds at least one module.
bool ListHoldsModule(int kind);

// Empties the list of `kind`, then fills it from the decoder libraries in `folder` (no
// trailing separator); the number of decoders accepted.
int LoadInModulesList(const char *folder, int kind);
// Records the loaded decoder (currentInModule) as `fileName` in the list of `kind` and
// unloads it; nothing when no decoder is loaded.
void AddInModuleFile(const char *fileName, int kind);
// Empties the output list, then fills it from the encoder libraries in `folder`; the number
// of encoders accepted.
int LoadOutModulesList(const char *folder);
// Records the loaded encoder (currentOutModule) as `fileName` and unloads it.
void AddOutModuleFile(const char *fileName);
