// Module records, the three module lists and the folder scans that fill them.
#include "modules/QZ_ExtList.h"

#include <cstring>
#include <string>
#include <vector>

#include "modules/loader.h"
#include "platform/platform.h"
#include "support/All_Func.h"

namespace {

constexpr uint8_t kMaxCount = 255;

ModuleList inputModules{};
ModuleList winampInputModules{};
ModuleList outputModules{};

// Grows an owned array of pointers by exactly one slot and stores `item` in it.
template <typename T> void AppendSlot(T **&array, unsigned count, T *item) {
    T **grown = new T *[count + 1];
    for (unsigned i = 0; i < count; ++i)
        grown[i] = array[i];
    grown[count] = item;
    delete[] array;
    array = grown;
}

void AppendExtension(ModuleRecord *record, const char *extension, const char *description) {
    char *upper = nullptr;
    AssignString(UpperCase(extension).c_str(), &upper);
    char *copy = nullptr;
    AssignString(description, &copy);
    AppendSlot(record->extensions, record->extensionCount, upper);
    AppendSlot(record->extensionDescriptions, record->extensionCount, copy);
    ++record->extensionCount;
}

ModuleList *InputListOfKind(int kind) {
    return kind == kWinampInputModules ? &winampInputModules : &inputModules;
}

// Appends a record; a full list refuses it, and the refused record is released here.
void AppendRecord(ModuleList *list, ModuleRecord *record) {
    const uint8_t before = list->count;
    AddMdlInList(list, record);
    if (list->count == before) {
        ClearModStruct(record);
        delete record;
    }
}

// Lists the visible entries of a folder matching `mask`, each as a full name.
std::vector<std::string> ListFolder(const char *folder, const char *mask) {
    std::vector<std::string> names;
    char *prefix = AddSlash(folder);
    if (prefix == nullptr)
        return names;
    std::vector<platform::FindEntry> entries;
    if (platform::FindFiles(std::string(prefix) + mask, entries)) {
        for (const platform::FindEntry &entry : entries) {
            if (!entry.isHidden)
                names.push_back(prefix + entry.name);
        }
    }
    FreeString(&prefix);
    return names;
}

} // namespace

unsigned AddExtToList(ModuleRecord *record, const char *text) {
    if (record == nullptr || text == nullptr || text[0] == '\0')
        return 0;
    const char *description = text + std::strlen(text) + 1;
    unsigned consumed = static_cast<unsigned>(std::strlen(text) + 1 + std::strlen(description) + 1);
    if (record->extensionCount < kMaxCount)
        AppendExtension(record, text, description);
    return consumed;
}

void StrToExtList(ModuleRecord *record, const char *text) {
    if (record == nullptr || text == nullptr)
        return;
    const char *position = text;
    while (*position != '\0') {
        // A pair without description marks the end of the block: nothing follows it.
        const bool lastPair = position[std::strlen(position) + 1] == '\0';
        position += AddExtToList(record, position);
        if (lastPair)
            break;
    }
}

void AddMdlInList(ModuleList *list, ModuleRecord *record) {
    if (list == nullptr || record == nullptr || list->count >= kMaxCount)
        return;
    AppendSlot(list->modules, list->count, record);
    ++list->count;
}

void ClearModStruct(ModuleRecord *record) {
    if (record == nullptr)
        return;
    FreeString(&record->fileName);
    FreeString(&record->description);
    for (unsigned i = 0; i < record->extensionCount; ++i) {
        if (record->extensions)
            FreeString(&record->extensions[i]);
        if (record->extensionDescriptions)
            FreeString(&record->extensionDescriptions[i]);
    }
    delete[] record->extensions;
    delete[] record->extensionDescriptions;
    record->extensions = nullptr;
    record->extensionDescriptions = nullptr;
    record->extensionCount = 0;
}

void ClearModListStruct(ModuleList *list) {
    if (list == nullptr)
        return;
    for (unsigned i = 0; i < list->count; ++i) {
        ClearModStruct(list->modules[i]);
        delete list->modules[i];
    }
    delete[] list->modules;
    list->modules = nullptr;
    list->count = 0;
}

ModuleList *GetModuleList(int kind) {
    switch (kind) {
    case kInputModules:
        return &inputModules;
    case kWinampInputModules:
        return &winampInputModules;
    case kOutputModules:
        return &outputModules;
    default:
        return nullptr;
    }
}

bool ListHoldsModule(int kind) {
    const ModuleList *list = GetModuleList(kind);
    return list && list->count > 0;
}

int LoadInModulesList(const char *folder, int kind) {
    ClearModListStruct(InputListOfKind(kind));
    int accepted = 0;
    for (const std::string &fileName : ListFolder(folder, "*.*")) {
        if (LoadInModule(fileName.c_str())) {
            AddInModuleFile(fileName.c_str(), kind);
            ++accepted;
        }
    }
    return accepted;
}

void AddInModuleFile(const char *fileName, int kind) {
    if (currentInModule == nullptr)
        return;
    if (currentInModule->Init)
        currentInModule->Init();
    auto *record = new ModuleRecord{};
    AssignString(fileName, &record->fileName);
    AssignString(currentInModule->description, &record->description);
    StrToExtList(record, currentInModule->FileExtensions);
    AppendRecord(InputListOfKind(kind), record);
    UnloadInModule();
}

int LoadOutModulesList(const char *folder) {
    ClearModListStruct(&outputModules);
    int accepted = 0;
    const std::string mask = std::string("*") + platform::kLibrarySuffix;
    for (const std::string &fileName : ListFolder(folder, mask.c_str())) {
        if (LoadOutModule(fileName.c_str())) {
            AddOutModuleFile(fileName.c_str());
            ++accepted;
        }
    }
    return accepted;
}

void AddOutModuleFile(const char *fileName) {
    if (currentOutModule == nullptr)
        return;
    if (currentOutModule->Init)
        currentOutModule->Init();
    auto *record = new ModuleRecord{};
    AssignString(fileName, &record->fileName);
    char *extension = nullptr;
    char *extensionDescription = nullptr;
    AssignString(currentOutModule->extension, &extension);
    AssignString(currentOutModule->extensionDescription, &extensionDescription);
    AppendSlot(record->extensions, 0, extension);
    AppendSlot(record->extensionDescriptions, 0, extensionDescription);
    record->extensionCount = 1;
    AssignString(currentOutModule->description, &record->description);
    AppendRecord(&outputModules, record);
    if (currentOutModule->Quit)
        currentOutModule->Quit();
    UnloadOutModule();
}
