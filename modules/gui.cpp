// The encoder interface for a graphical host: thin calls into the current encoder's table.
#include "modules/gui.h"

#include <cstdio>

#include "kernova/encoder.h"
#include "modules/loader.h"

namespace kernova {

namespace {

int guiPlugInLoaded = 0;

// Builds a params handle from a parameter text; the encoder's verdict is not needed here.
void *ParamsFromText(const char *text) {
    void *params = nullptr;
    int showParams = 0;
    currentOutModule->StringToParams(text, &params, &showParams);
    return params;
}

void FreeParams(void *params) {
    if (currentOutModule->FreeParams)
        currentOutModule->FreeParams(&params);
}

} // namespace

int LoadPlugIn_GUI(const char *name, uint32_t moduleId) {
    UnloadCurrentPlugIn_GUI();
    int loaded = LoadOutModule(name);
    if (loaded && currentOutModule->Init)
        currentOutModule->Init();
    if (loaded && moduleId != 0 && static_cast<uint32_t>(currentOutModule->moduleId) != moduleId) {
        UnloadOutModule();
        loaded = 0;
    }
    guiPlugInLoaded = loaded;
    return loaded;
}

void UnloadCurrentPlugIn_GUI() {
    if (guiPlugInLoaded != 1)
        return;
    UnloadOutModule();
    guiPlugInLoaded = 0;
}

void GetEncParamString_GUI(char *buffer1024, intptr_t source) {
    if (buffer1024 == nullptr)
        return;
    // One byte beyond what the encoder is told keeps the text terminated whatever it writes.
    char *text = new char[ENCODER_PARAM_BUFFER_SIZE + 1]();
    if (currentOutModule && currentOutModule->GetGuiParams && currentOutModule->ParamsToString) {
        void *params = nullptr;
        currentOutModule->GetGuiParams(source, &params);
        char *writable = text;
        currentOutModule->ParamsToString(params, &writable);
        FreeParams(params);
    }
    std::snprintf(buffer1024, ENCODER_PARAM_BUFFER_SIZE, "%s", text);
    delete[] text;
}

void SetEncParamString_GUI(const char *text, intptr_t target) {
    if (text == nullptr || target == 0 || currentOutModule == nullptr ||
        currentOutModule->SetGuiParams == nullptr || currentOutModule->StringToParams == nullptr)
        return;
    void *params = ParamsFromText(text);
    currentOutModule->SetGuiParams(target, params);
    FreeParams(params);
}

void GetShortDesc_GUI(const char *text, char *buffer) {
    if (buffer == nullptr || currentOutModule == nullptr ||
        currentOutModule->StringToParams == nullptr || currentOutModule->GetShortDesc == nullptr)
        return;
    void *params = ParamsFromText(text);
    currentOutModule->GetShortDesc(params, &buffer);
    FreeParams(params);
}

int ShowGUIAdvancedSettings() {
    if (currentOutModule == nullptr || currentOutModule->ShowAdvancedSettings == nullptr)
        return 0;
    return currentOutModule->ShowAdvancedSettings(0);
}

void SendGUINotification_Module(intptr_t a, intptr_t b) {
    if (currentOutModule && currentOutModule->GuiNotify)
        currentOutModule->GuiNotify(a, b);
}

int GuiInitInterface(intptr_t value) {
    if (currentOutModule == nullptr || currentOutModule->GuiInit == nullptr)
        return 0;
    currentOutModule->GuiInit(value);
    return 1;
}

} // namespace kernova
