// Module records and the three module lists, plus the folder scans that fill them.
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

unsigned AddExtToList(ModuleRecord *record, const char *text);
void StrToExtList(ModuleRecord *record, const char *text);
void AddMdlInList(ModuleList *list, ModuleRecord *record);
void ClearModStruct(ModuleRecord *record);
void ClearModListStruct(ModuleList *list);
ModuleList *GetModuleList(int kind);
// True when the list of that kind holds at least one module.
bool ListHoldsModule(int kind);

int LoadInModulesList(const char *folder, int kind);
void AddInModuleFile(const char *fileName, int kind);
int LoadOutModulesList(const char *folder);
void AddOutModuleFile(const char *fileName);
