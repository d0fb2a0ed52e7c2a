// Loading, checking, wiring and releasing of decoders, encoders and the playback output
// plug-in; the hidden window that Winamp plug-ins receive as their main window.
#include "modules/loader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "kernova/message_codes.h"
#include "modules/QZ_ExtList.h"
#include "platform/platform.h"
#include "state/converter_state.h"
#include "state/host_table.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"

In_Module *currentInModule = nullptr;
InputModuleEx *currentInModuleEx = nullptr;
QZconvInputErrorTextFunc currentInModuleErrorText = nullptr;
EncoderTable *currentOutModule = nullptr;
Out_Module *currentWinampOutModule = nullptr;
Out_Module coreOutModule{};
HWND shadowWindow = nullptr;
StopThreadStarter startStopThread = nullptr;

namespace {

constexpr int kMinInModuleVersion = 0x100;
constexpr int kMinOutModuleVersion = 16;
constexpr int kCoreOutModuleId = 65536;
constexpr char kSep[] = {platform::kPathSeparator, '\0'};

// "<file>: <why>" for each plug-in file refused because its table leaves a mandatory slot empty.
std::vector<std::string> refusedPlugIns;
bool printRefusals = false;

using SlotCheck = std::pair<const char *, bool>; // slot name, filled

std::string EmptySlotNames(std::initializer_list<SlotCheck> slots) {
    std::string names;
    for (const auto &[name, filled] : slots) {
        if (!filled)
            names += (names.empty() ? "" : ", ") + std::string(name);
    }
    return names;
}

// The slots the core calls without a fallback (see kernova/decoder.h and kernova/encoder.h).
std::string EmptyDecoderSlots(const In_Module &module) {
    return EmptySlotNames({{"Play", module.Play != nullptr}, {"Stop", module.Stop != nullptr}});
}

std::string EmptyEncoderSlots(const EncoderTable &table) {
    return EmptySlotNames({{"Open", table.Open != nullptr},
                           {"GetBlockSize", table.GetBlockSize != nullptr},
                           {"Encode", table.Encode != nullptr},
                           {"Close", table.Close != nullptr}});
}

// A broken plug-in is skipped like any that does not load; -DEBUG tells which and why.
void NoteRefusedPlugIn(const char *fileName, const std::string &emptySlots) {
    const std::string note = std::string(fileName) + ": its table leaves " + emptySlots + " empty";
    if (std::find(refusedPlugIns.begin(), refusedPlugIns.end(), note) != refusedPlugIns.end())
        return;
    refusedPlugIns.push_back(note);
    if (printRefusals)
        std::printf("Plug-in refused: %s\n", note.c_str());
}

// Refuses, with a note, a table whose mandatory slots are not all filled.
template <typename Table>
bool HasMandatorySlots(const Table &table, std::string (*emptySlots)(const Table &),
                       const char *fileName) {
    const std::string empty = emptySlots(table);
    if (empty.empty())
        return true;
    NoteRefusedPlugIn(fileName, empty);
    return false;
}

// Stand-ins for the visualisation and DSP slots: the core shows and filters nothing.
void NoSAVSAInit(int, int) {}
void NoSAVSADeInit() {}
void NoPCMData(void *, int, int, int) {}
int NoSAAdd(void *, int, int) {
    return 0;
}
int NoVSAAdd(void *, int) {
    return 0;
}
void NoVSASetInfo(int, int) {}
void NoSetInfo(int, int, int, int) {}
int SpectrumMode() {
    return 2;
}
int WaveformMode(int *spectrumChannels, int *waveChannels) {
    if (spectrumChannels)
        *spectrumChannels = 44100;
    if (waveChannels)
        *waveChannels = 2;
    return 2;
}
int DspInactive() {
    return 0;
}
int DspPassThrough(short *, int numSamples, int, int, int) {
    return numSamples;
}

// Messages 2 and 10 need the engine's callback copies; before the first job took them
// (the start-up scan) nothing is reported.
void ReportLoadError(int code, const char *name) {
    if (converterState.onError)
        converterState.onError(code, reinterpret_cast<intptr_t>(name));
}

HWND MainWindowForPlugIns() {
    return shadowWindow ? shadowWindow : platform::GetDesktopWindow();
}

void FillCoreOutModule() {
    coreOutModule.version = kMinOutModuleVersion;
    coreOutModule.id = kCoreOutModuleId;
    coreOutModule.hMainWindow = shadowWindow;
}

void WireInModule(In_Module *module, platform::LibraryHandle library) {
    module->hMainWindow = MainWindowForPlugIns();
    module->hDllInstance = library;
    module->outMod = &coreOutModule;
    module->SAVSAInit = NoSAVSAInit;
    module->SAVSADeInit = NoSAVSADeInit;
    module->SAAddPCMData = NoPCMData;
    module->SAGetMode = SpectrumMode;
    module->SAAdd = NoSAAdd;
    module->VSAAddPCMData = NoPCMData;
    module->VSAGetMode = WaveformMode;
    module->VSAAdd = NoVSAAdd;
    module->VSASetInfo = NoVSASetInfo;
    module->dsp_isactive = DspInactive;
    module->dsp_dosamples = DspPassThrough;
    module->SetInfo = NoSetInfo;
}

// Finds the entry of a decoder library: the Winamp entry first, then the core's own, whose
// optional extension table is taken at once and whose optional error text is noted.
QZconvInputModAddrFunc FindInModuleEntry(platform::LibraryHandle library) {
    if (void *winamp = platform::GetExport(library, "winampGetInModule2"))
        return reinterpret_cast<QZconvInputModAddrFunc>(winamp);
    void *native = platform::GetExport(library, "QZconvInputModAddr");
    if (native == nullptr)
        return nullptr;
    if (void *extension = platform::GetExport(library, "QZconvInputModAddrEx"))
        currentInModuleEx = reinterpret_cast<QZconvInputModAddrExFunc>(extension)();
    currentInModuleErrorText = reinterpret_cast<QZconvInputErrorTextFunc>(
        platform::GetExport(library, "QZconvInputErrorText"));
    return reinterpret_cast<QZconvInputModAddrFunc>(native);
}

bool IsAcceptedInModule(const In_Module *module) {
    return module != nullptr && module->version >= kMinInModuleVersion &&
           module->UsesOutputPlug != 0;
}

bool HasFolderPart(const char *name) {
    char *folder = nullptr;
    ExtractPathX(name, &folder);
    const bool hasFolder = folder != nullptr && folder[0] != '\0';
    FreeString(&folder);
    return hasFolder;
}

// The file of the name, its letters matched without regard to ASCII case as the Windows file
// system does, so "-ENC FLAC" finds flac.so everywhere; the name as the folder spells it, so
// that the module is loaded under its own name on every system; empty when there is none.
std::string FindWithoutCase(const std::string &candidate) {
    const std::size_t folderEnd = candidate.rfind(platform::kPathSeparator);
    const std::string folder =
        folderEnd == std::string::npos ? std::string() : candidate.substr(0, folderEnd + 1);
    std::vector<platform::FindEntry> entries;
    if (candidate.find_first_of("*?", folder.size()) == std::string::npos &&
        platform::FindFiles(candidate, entries))
        return folder + entries.front().name;
    return platform::FileExists(candidate.c_str()) ? candidate : std::string();
}

// Tries base folder + sub-folder + name + library suffix (or the name itself when it has a
// folder part); on success the candidate becomes *fullName.
int FindModuleIn(const char *baseFolder, const char *subFolder, const char *name, char **fullName) {
    if (name == nullptr || fullName == nullptr)
        return 0;
    std::string candidate;
    if (HasFolderPart(name)) {
        candidate = name;
    } else {
        if (baseFolder == nullptr)
            return 0;
        candidate = std::string(baseFolder) + subFolder + name + platform::kLibrarySuffix;
    }
    const std::string found = FindWithoutCase(candidate);
    if (found.empty())
        return 0;
    AssignString(found.c_str(), fullName);
    return 1;
}

// An encoder loaded before the conversion layer installs its handler asks a no-op.
void IgnoreRateChange(int, int) {}

int FindInProgramFolder(const std::string &subFolder, const char *name, char **fullName) {
    char *mainPath = GetMainPathName();
    int found = FindModuleIn(mainPath, subFolder.c_str(), name, fullName);
    FreeString(&mainPath);
    return found;
}

// Runs a loaded output plug-in's Quit and frees its library; the pointer ends null either way.
template <typename Module>
void UnloadOutput(Module *&module, platform::LibraryHandle Module::*library) {
    if (module && module->*library) {
        if (module->Quit)
            module->Quit();
        platform::FreeLibrary(module->*library);
    }
    module = nullptr;
}
} // namespace

FixFreqHandlerFunc fixFreqHandler = IgnoreRateChange;

std::string MakePlugInPath(const char *base, std::initializer_list<const char *> parts) {
    std::string path = std::string(base ? base : "") + "plugins";
    for (const char *part : parts)
        path += kSep + std::string(part);
    return path;
}

void LoadPlugInLists() {
    char *mainPath = GetMainPathName();
    if (!ListHoldsModule(kInputModules))
        LoadInModulesList(MakePlugInPath(mainPath, {"in"}).c_str(), kInputModules);
    if (!ListHoldsModule(kOutputModules))
        LoadOutModulesList(MakePlugInPath(mainPath, {"out"}).c_str());
    FreeString(&mainPath);
}

void LoadWinampPlugIns() {
    if (ListHoldsModule(kWinampInputModules) || !winampFolder)
        return;
    char *base = AddSlash(winampFolder);
    LoadInModulesList(MakePlugInPath(base, {}).c_str(), kWinampInputModules);
    FreeString(&base);
}

void ReportRefusedPlugIns(bool debug) {
    printRefusals = debug;
    if (!debug)
        return;
    for (const std::string &note : refusedPlugIns)
        std::printf("Plug-in refused: %s\n", note.c_str());
}

int LoadInModule(const char *fileName) {
    currentInModule = nullptr;
    if (fileName == nullptr)
        return 0;
    platform::LibraryHandle library = platform::LoadLibrary(fileName);
    if (library == nullptr)
        return 0;
    currentInModuleEx = nullptr;
    currentInModuleErrorText = nullptr;
    QZconvInputModAddrFunc entry = FindInModuleEntry(library);
    In_Module *candidate = entry ? entry() : nullptr;
    if (!IsAcceptedInModule(candidate) ||
        !HasMandatorySlots(*candidate, EmptyDecoderSlots, fileName)) {
        platform::FreeLibrary(library);
        currentInModuleEx = nullptr;
        currentInModuleErrorText = nullptr;
        return 0;
    }
    FillCoreOutModule();
    WireInModule(candidate, library);
    currentInModule = candidate;
    return 1;
}

void UnloadInModule() {
    if (currentInModule == nullptr)
        return;
    if (currentInModule->Quit)
        currentInModule->Quit();
    if (currentInModule->hDllInstance)
        platform::FreeLibrary(currentInModule->hDllInstance);
    currentInModule = nullptr;
    currentInModuleEx = nullptr;
    currentInModuleErrorText = nullptr;
}

int LoadOutModule(const char *name) {
    currentOutModule = nullptr;
    if (name == nullptr)
        return 0;
    char *fullName = nullptr;
    if (!FindOutModuleFile(name, &fullName)) {
        ReportLoadError(KN_ERR_ENCODER_NOT_FOUND, name);
        return 0;
    }
    platform::LibraryHandle library = platform::LoadLibrary(fullName);
    if (library == nullptr) {
        FreeString(&fullName);
        ReportLoadError(KN_ERR_ENCODER_INVALID, name);
        return 0;
    }
    auto entry = reinterpret_cast<RegisterCompressModuleFunc>(
        platform::GetExport(library, "RegisterCompressModule"));
    EncoderTable *candidate = entry ? entry() : nullptr;
    const bool accepted = candidate != nullptr && candidate->version >= ENCODER_TABLE_MIN_VERSION &&
                          HasMandatorySlots(*candidate, EmptyEncoderSlots, fullName);
    FreeString(&fullName);
    if (!accepted) {
        ReportLoadError(KN_ERR_ENCODER_INVALID, name);
        platform::FreeLibrary(library);
        return 0;
    }
    candidate->hInstance = library;
    candidate->FixFreqCallback = fixFreqHandler;
    currentOutModule = candidate;
    return 1;
}

void UnloadOutModule() {
    UnloadOutput(currentOutModule, &EncoderTable::hInstance);
}

int LoadWinampOutModule(const char *name) {
    currentWinampOutModule = nullptr;
    if (name == nullptr)
        return 0;
    char *fullName = nullptr;
    if (!FindWinampOutModuleFile(name, &fullName))
        return 0;
    platform::LibraryHandle library = platform::LoadLibrary(fullName);
    FreeString(&fullName);
    if (library == nullptr)
        return 0;
    auto entry = reinterpret_cast<winampGetOutModuleFunc>(
        platform::GetExport(library, "winampGetOutModule"));
    Out_Module *candidate = entry ? entry() : nullptr;
    if (candidate == nullptr || candidate->version < kMinOutModuleVersion) {
        platform::FreeLibrary(library);
        return 0;
    }
    candidate->hMainWindow = shadowWindow;
    candidate->hDllInstance = library;
    currentWinampOutModule = candidate;
    return 1;
}

void UnloadWinampOutModule() {
    UnloadOutput(currentWinampOutModule, &Out_Module::hDllInstance);
}

int FindInModuleFile(const char *name, char **fullName) {
    if (FindInProgramFolder(MakePlugInPath("", {"in", ""}), name, fullName))
        return 1;
    if (winampFolder == nullptr)
        return 0;
    // The folder the Winamp scan reads, so that every listed decoder can be named.
    char *base = AddSlash(winampFolder);
    int found = FindModuleIn(base, MakePlugInPath("", {""}).c_str(), name, fullName);
    FreeString(&base);
    return found;
}

int FindOutModuleFile(const char *name, char **fullName) {
    return FindInProgramFolder(MakePlugInPath("", {"out", ""}), name, fullName);
}

int FindWinampOutModuleFile(const char *name, char **fullName) {
    return FindInProgramFolder(MakePlugInPath("", {"out", "WinAMP", ""}), name, fullName);
}

HWND CreateShadowWindow() {
    static bool registered = false;
    if (!registered)
        registered = platform::RegisterWindowClass("winShadow", ShadowWindowProc);
    if (!registered)
        return nullptr;
    return platform::CreateHiddenWindow("winShadow", "shadowWin");
}

intptr_t ShadowWindowProc(HWND window, unsigned int msg, uintptr_t wParam, intptr_t lParam) {
    switch (msg) {
    case WM_CLOSE:
        platform::DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        return 0;
    case WM_USER + 2:
    case WM_USER + 3:
        if (startStopThread)
            startStopThread();
        return 0;
    default:
        return platform::DefWindowProc(window, msg, wParam, lParam);
    }
}
