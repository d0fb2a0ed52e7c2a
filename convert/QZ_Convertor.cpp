// Choosing the decoder and encoder for a file, and the converter state of the running job.
#include "convert/QZ_Convertor.h"

#include <cstdlib>
#include <string_view>

#include "modules/loader.h"
#include "platform/platform.h"
#include "state/host_table.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"

namespace {

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return UpperCase(a) == UpperCase(b);
}

// True when one of the ";"-separated extensions of `entry` equals `extension`.
bool EntryNamesExtension(std::string_view entry, std::string_view extension, bool ignoreCase) {
    while (!entry.empty()) {
        size_t end = entry.find(';');
        std::string_view token = entry.substr(0, end);
        if (!token.empty() &&
            (ignoreCase ? EqualsIgnoringAsciiCase(token, extension) : token == extension))
            return true;
        if (end == std::string_view::npos)
            break;
        entry.remove_prefix(end + 1);
    }
    return false;
}

int FindExtensionEntry(const char *extension, uint8_t moduleIndex, const ModuleList *list,
                       bool ignoreCase) {
    if (extension == nullptr || list == nullptr || moduleIndex >= list->count ||
        list->modules == nullptr)
        return -1;
    const ModuleRecord *record = list->modules[moduleIndex];
    if (record == nullptr || record->extensionCount == 0 || record->extensions == nullptr)
        return -1;
    for (int i = 0; i < record->extensionCount; ++i) {
        if (record->extensions[i] &&
            EntryNamesExtension(record->extensions[i], extension, ignoreCase))
            return i;
    }
    return -1;
}

// A copy of the fileName of the first module from `first` on that handles `extension`.
char *FindModuleFrom(const ModuleList *list, unsigned first, const char *extension,
                     bool ignoreCase) {
    for (unsigned i = first; i < list->count; ++i) {
        const auto index = static_cast<uint8_t>(i);
        const int entry = ignoreCase ? FindExtensionEntry(extension, index, list, true)
                                     : IsInModExt(extension, index, list);
        if (entry >= 0) {
            char *fileName = nullptr;
            AssignString(list->modules[i]->fileName, &fileName);
            return fileName;
        }
    }
    return nullptr;
}

char *ChooseInModule(const char *extension, unsigned firstPosition) {
    const ModuleList *plugIns = GetModuleList(kInputModules);
    const ModuleList *winamp = GetModuleList(kWinampInputModules);
    if (plugIns->count == 0 && winamp->count == 0)
        return nullptr;
    if (firstPosition < plugIns->count) {
        if (char *found = FindModuleFrom(plugIns, firstPosition, extension, false))
            return found;
        // A search that starts inside the plug-in decoders stays there.
        if (firstPosition > 0)
            return nullptr;
        return FindModuleFrom(winamp, 0, extension, false);
    }
    return FindModuleFrom(winamp, firstPosition - plugIns->count, extension, false);
}

const char *LoadedEncoderExtension() {
    return currentOutModule ? currentOutModule->extension : nullptr;
}

} // namespace

int IsInModExt(const char *extension, uint8_t moduleIndex, const ModuleList *list) {
    return FindExtensionEntry(extension, moduleIndex, list, false);
}

char *GetInModuleForFile(const char *fileName, uint8_t firstPosition) {
    char *extension = GetFileExtension(fileName);
    if (extension == nullptr)
        return nullptr;
    char *found = ChooseInModule(extension, firstPosition);
    std::free(extension);
    return found;
}

char *GetOutModuleForFile(const char *fileName) {
    char *extension = GetFileExtension(fileName);
    if (extension == nullptr)
        return nullptr;
    // Encoders give their extension in any case ("mp3"); output names may use another.
    char *found = FindModuleFrom(GetModuleList(kOutputModules), 0, extension, true);
    std::free(extension);
    return found;
}

int GetTestString(const char **first, const char **second, int index) {
    if (currentOutModule == nullptr || currentOutModule->GetTestParams == nullptr)
        return 0;
    const char **pair = nullptr;
    int answer = currentOutModule->GetTestParams(&pair, index);
    if (answer == 1 && pair != nullptr) {
        if (first)
            *first = pair[0];
        if (second)
            *second = pair[1];
    }
    return answer;
}

int InitConvertor() {
    HWND window = CreateShadowWindow();
    if (window == nullptr)
        return 0;
    converterState.shadowWindow = window;
    shadowWindow = window;
    converterState.encoderExtensionGetter = LoadedEncoderExtension;
    return 1;
}

void DeInitConvertor() {
    if (converterState.shadowWindow)
        platform::SendMessage(converterState.shadowWindow, WM_CLOSE, 0, 0);
    FreeString(&converterState.decoderName);
    FreeString(&converterState.encoderModuleName);
    FreeString(&converterState.encoderParams);
    FreeString(&converterState.decoderParams);
    FreeString(&converterState.inputName);
    FreeString(&converterState.outputName);
    FreeString(&converterState.partialName);
}
