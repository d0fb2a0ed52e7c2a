/*
 * The core library's exports for a graphical host that edits an encoder's settings: eight
 * thin calls into the table of one encoder that the host loads (see kernova/encoder.h for the
 * slots they reach). They work after InitKernova_DLL.
 *
 * Threads: all eight come from the host's command thread (the one that calls DoCommand_DLL),
 * never while a command runs, one at a time; the encoder's slots run on that thread.
 *
 * The current encoder: LoadPlugIn_GUI loads plugins/out/<name> (the name as -ENC takes it, or
 * a path), calls its Init and keeps it until UnloadCurrentPlugIn_GUI or the next
 * LoadPlugIn_GUI. The other calls do nothing (0 for those that answer) without a current
 * encoder or when the slot that they reach is null.
 *
 * Ownership: texts and buffers are the host's. Parameter texts are read during the call only;
 * GetEncParamString_GUI writes at most ENCODER_PARAM_BUFFER_SIZE bytes, terminator included,
 * and GetShortDesc_GUI at most 64. `source` and `target` are the host's values (such as a
 * window handle), handed to the encoder's GetGuiParams and SetGuiParams unread.
 */
#ifndef KERNOVA_GUI_H
#define KERNOVA_GUI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* `LoadPlugIn_GUI`: 1 when the encoder loaded; 0 when it did not, or when moduleId is not 0
 * and differs from the table's moduleId (the encoder is then unloaded again). */
typedef int (*LoadPlugIn_GUIFunc)(const char *name, uint32_t moduleId);
/* `UnloadCurrentPlugIn_GUI`: calls the encoder's Quit and unloads it. */
typedef void (*UnloadCurrentPlugIn_GUIFunc)(void);
/* `GetEncParamString_GUI`: the parameter text of the settings that GetGuiParams(source)
 * reads; "" without an encoder. */
typedef void (*GetEncParamString_GUIFunc)(char *buffer1024, intptr_t source);
/* `SetEncParamString_GUI`: hands the settings of a parameter text to SetGuiParams(target);
 * nothing for a null text or a target of 0. */
typedef void (*SetEncParamString_GUIFunc)(const char *text, intptr_t target);
/* `GetShortDesc_GUI`: the encoder's short description of a parameter text. */
typedef void (*GetShortDesc_GUIFunc)(const char *text, char *buffer64);
/* `ShowGUIAdvancedSettings`: the encoder's ShowAdvancedSettings(0) answer. */
typedef int (*ShowGUIAdvancedSettingsFunc)(void);
/* `SendGUINotification_Module`: passes a notice to the encoder's GuiNotify. */
typedef void (*SendGUINotification_ModuleFunc)(intptr_t a, intptr_t b);
/* `GuiInitInterface`: passes the value to the encoder's GuiInit; 1 when it had one. */
typedef int (*GuiInitInterfaceFunc)(intptr_t value);

#ifdef __cplusplus
}
#endif

#endif
