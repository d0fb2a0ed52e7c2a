// -LISTENC and -LISTDEC: each module of a list goes to the host as a block of messages; the
// host lays the lines out.
#include <cstdint>

#include "convert/QZ_Convertor.h"
#include "info/info.h"
#include "kernova/message_codes.h"
#include "modules/QZ_ExtList.h"
#include "modules/loader.h"
#include "state/host_table.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"

namespace {

constexpr const char *kWinampPrefix = "[WinAMP] ";

const char *EntryAt(char *const *entries, unsigned index) {
    return entries ? entries[index] : nullptr;
}

void PrintModule(const ModuleRecord &record, int winampMark) {
    auto onMessage = GetHostTable().onMessage;
    char *file = nullptr;
    char *base = nullptr;
    char *extension = nullptr;
    ExtractOnlyFileName(record.fileName, &file);
    ExpandNameAndExt(file, &base, &extension);
    onMessage(KN_MSG_MODULE_FILE, TextArg(base));
    char *description = nullptr;
    if (winampMark == 1) {
        AssignString(kWinampPrefix, &description);
        AddStr(&description, record.description);
    } else {
        AssignString(record.description, &description);
    }
    onMessage(KN_MSG_MODULE_DESCRIPTION, TextArg(description));
    for (unsigned i = 0; i < record.extensionCount; ++i) {
        onMessage(KN_MSG_MODULE_EXTENSION, TextArg(EntryAt(record.extensions, i)));
        onMessage(KN_MSG_EXTENSION_DESCRIPTION, TextArg(EntryAt(record.extensionDescriptions, i)));
    }
    FreeString(&description);
    FreeString(&extension);
    FreeString(&base);
    FreeString(&file);
}

} // namespace

void ListModules(int decoders, const char *word) {
    TakeCallbackCopies();
    if (!InitConvertor())
        return;
    LoadWinampPlugIns();
    if (decoders) {
        PrintModuleList(word, GetModuleList(kInputModules), 0);
        PrintModuleList(word, GetModuleList(kWinampInputModules), 1);
    } else {
        PrintModuleList(word, GetModuleList(kOutputModules), 0);
    }
    DeInitConvertor();
}

void PrintModuleList(const char *, const ModuleList *list, int winampMark) {
    if (!list || !list->modules)
        return;
    for (unsigned i = 0; i < list->count; ++i) {
        if (list->modules[i])
            PrintModule(*list->modules[i], winampMark);
    }
}
