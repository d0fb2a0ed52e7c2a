// The library's exports: C names, default visibility, thin calls into the core.
#include <cstdint>

#include "kernova/export.h"

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
