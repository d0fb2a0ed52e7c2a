// The encoder interface for a graphical host: thin calls into the current encoder's table.
#pragma once

#include <cstdint>

namespace kernova {
int LoadPlugIn_GUI(const char *name, uint32_t moduleId);
void UnloadCurrentPlugIn_GUI();
void GetEncParamString_GUI(char *buffer1024, intptr_t source);
void SetEncParamString_GUI(const char *text, intptr_t target);
void GetShortDesc_GUI(const char *text, char *buffer);
int ShowGUIAdvancedSettings();
void SendGUINotification_Module(intptr_t a, intptr_t b);
int GuiInitInterface(intptr_t value);
} // namespace kernova
