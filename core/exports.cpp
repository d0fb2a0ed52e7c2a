// The library's exports: C names, default visibility, thin calls into the core.
#include <cstdint>
#include <type_traits>

#include "kernova/export.h"
#include "kernova/gui.h"
#include "kernova/host.h"

#include "core/core.h"
#include "modules/gui.h"

KERNOVA_EXPORT int InitKernova_DLL() {
    return InitKernova();
}
KERNOVA_EXPORT HostCallbacks *GetKernova_DLL() {
    return &GetHostTable();
}
KERNOVA_EXPORT int DoCommand_DLL(const char *commandLine) {
    return DoCommand(commandLine);
}
KERNOVA_EXPORT void AbortCommand_DLL() {
    AbortCommand();
}
KERNOVA_EXPORT void DeInitKernova_DLL() {
    DeInitKernova();
}

KERNOVA_EXPORT int LoadPlugIn_GUI(const char *name, uint32_t moduleId) {
    return kernova::LoadPlugIn_GUI(name, moduleId);
}
KERNOVA_EXPORT void UnloadCurrentPlugIn_GUI() {
    kernova::UnloadCurrentPlugIn_GUI();
}
KERNOVA_EXPORT void GetEncParamString_GUI(char *buffer1024, intptr_t source) {
    kernova::GetEncParamString_GUI(buffer1024, source);
}
KERNOVA_EXPORT void SetEncParamString_GUI(const char *text, intptr_t target) {
    kernova::SetEncParamString_GUI(text, target);
}
KERNOVA_EXPORT void GetShortDesc_GUI(const char *text, char *buffer) {
    kernova::GetShortDesc_GUI(text, buffer);
}
KERNOVA_EXPORT int ShowGUIAdvancedSettings() {
    return kernova::ShowGUIAdvancedSettings();
}
KERNOVA_EXPORT void SendGUINotification_Module(intptr_t a, intptr_t b) {
    kernova::SendGUINotification_Module(a, b);
}
KERNOVA_EXPORT int GuiInitInterface(intptr_t value) {
    return kernova::GuiInitInterface(value);
}

// The public headers type every export for the hosts that look them up by name.
template <typename Func, auto Export>
constexpr bool kTypedAs = std::is_same_v<Func, decltype(Export)>;
static_assert(kTypedAs<InitKernova_DLLFunc, &InitKernova_DLL>);
static_assert(kTypedAs<GetKernova_DLLFunc, &GetKernova_DLL>);
static_assert(kTypedAs<DoCommand_DLLFunc, &DoCommand_DLL>);
static_assert(kTypedAs<AbortCommand_DLLFunc, &AbortCommand_DLL>);
static_assert(kTypedAs<DeInitKernova_DLLFunc, &DeInitKernova_DLL>);
static_assert(kTypedAs<LoadPlugIn_GUIFunc, &LoadPlugIn_GUI>);
static_assert(kTypedAs<UnloadCurrentPlugIn_GUIFunc, &UnloadCurrentPlugIn_GUI>);
static_assert(kTypedAs<GetEncParamString_GUIFunc, &GetEncParamString_GUI>);
static_assert(kTypedAs<SetEncParamString_GUIFunc, &SetEncParamString_GUI>);
static_assert(kTypedAs<GetShortDesc_GUIFunc, &GetShortDesc_GUI>);
static_assert(kTypedAs<ShowGUIAdvancedSettingsFunc, &ShowGUIAdvancedSettings>);
static_assert(kTypedAs<SendGUINotification_ModuleFunc, &SendGUINotification_Module>);
static_assert(kTypedAs<GuiInitInterfaceFunc, &GuiInitInterface>);
