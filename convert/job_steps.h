// Steps that the convert job and the play job share.
#pragma once

// Selects both tag versions in a -COPYID argument ("A").
constexpr int kBothTagKinds = 2;

// Zeroes the converter state (its parameter block excepted), takes the callback copies,
// creates the hidden window and loads the Winamp input plug-ins; false when the hidden window
// cannot be created.
bool StartConverter();
// The decoder file for the converter state's input: the -DEC module when found (message 206
// with its name), else the one chosen by extension (206 "default"); null after error 1.
char *ChooseDecoder();
// Chooses and loads the decoder and runs `useDecoder` with it loaded (KN_RESULT_FAILED after
// error 1 or the decoder's load error); `release` then unloads the job's modules.
int RunWithDecoder(int (*useDecoder)(), void (*release)());
// Hands -DECPARAM to the loaded decoder; with describe, an accepted text is echoed as the
// decoder describes it.
void ApplyDecoderParams(bool describe);
// Asks the loaded decoder for the input's length; when it knows one, reports it in seconds
// (onLength) with position 0. Returns the length in milliseconds, 0 when unknown.
int ReportInputLength();
// Sends the loaded decoder's own error code: with "<input>: <detail>" when the decoder words
// its last error (QZconvInputErrorText), else with 0.
void ReportDecoderError(int code);
// Deletes the settings files that earlier versions left in the current folder.
void DeleteStaleSettingsFiles();
// Removes the library suffix (".so") from the end of a module file name.
void StripLibrarySuffix(char **name);
