// Compile-time checks of the tables that cross a library boundary. Plug-ins built by others
// (Winamp input and output plug-ins, encoders, the tag plug-in) and graphical hosts rely on
// these layouts byte for byte: the 32-bit Windows build has 4-byte slots throughout, and the
// core's own tables put slot N at N pointer sizes on every build.
#include <cstddef>

#include "kernova/decoder.h"
#include "kernova/encoder.h"
#include "kernova/host.h"
#include "kernova/tagger.h"
#include "kernova/winamp.h"

namespace {

constexpr size_t kSlot = sizeof(void *);

static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 packed bytes");
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4 && offsetof(WAVEFORMATEX, cbSize) == 16);

static_assert(sizeof(EncoderTable) == 38 * kSlot, "the encoder table has 38 slots");
static_assert(offsetof(EncoderTable, moduleId) == 4 * kSlot);
static_assert(offsetof(EncoderTable, hInstance) == 7 * kSlot);
static_assert(offsetof(EncoderTable, GetDefaultParams) == 18 * kSlot);
static_assert(offsetof(EncoderTable, FreeParams) == 21 * kSlot);
static_assert(offsetof(EncoderTable, Open) == 25 * kSlot);
static_assert(offsetof(EncoderTable, GetHelpText) == 30 * kSlot);
static_assert(offsetof(EncoderTable, GetLastErrorCode) == 31 * kSlot);
static_assert(offsetof(EncoderTable, GetTestParams) == 33 * kSlot);
static_assert(offsetof(EncoderTable, FixFreqCallback) == 35 * kSlot);
static_assert(offsetof(EncoderTable, NeedsMorePasses) == 37 * kSlot);

static_assert(sizeof(TagTable) == 28 * kSlot, "the tag table has 28 slots");
static_assert(offsetof(TagTable, libraryHandle) == 3 * kSlot);
static_assert(offsetof(TagTable, GetTagFileType) == 10 * kSlot);
static_assert(offsetof(TagTable, GetTagField) == 16 * kSlot);
static_assert(offsetof(TagTable, SetTagFields) == 19 * kSlot);
static_assert(offsetof(TagTable, GetTrim) == 20 * kSlot);
static_assert(offsetof(TagTable, TraceLeave) == 25 * kSlot);
static_assert(offsetof(TagTable, FreeTagText) == 27 * kSlot);

static_assert(sizeof(InputModuleEx) == 4 * kSlot, "the decoder extension table has 4 slots");
static_assert(offsetof(InputModuleEx, GetParamDescription) == 3 * kSlot);

#if defined(_WIN32) && !defined(_WIN64)
// The 32-bit layouts of the Winamp tables and the host callback table: every field 4 bytes.
static_assert(sizeof(void *) == 4 && sizeof(int) == 4 && sizeof(intptr_t) == 4);

static_assert(sizeof(In_Module) == 38 * 4, "In_Module has 38 fields");
static_assert(offsetof(In_Module, hMainWindow) == 8);
static_assert(offsetof(In_Module, FileExtensions) == 16);
static_assert(offsetof(In_Module, UsesOutputPlug) == 24);
static_assert(offsetof(In_Module, Play) == 56);
static_assert(offsetof(In_Module, IsPaused) == 68);
static_assert(offsetof(In_Module, Stop) == 72);
static_assert(offsetof(In_Module, GetLength) == 76);
static_assert(offsetof(In_Module, SAVSAInit) == 96);
static_assert(offsetof(In_Module, SetInfo) == 144);
static_assert(offsetof(In_Module, outMod) == 148);

static_assert(sizeof(Out_Module) == 20 * 4, "Out_Module has 20 fields");
static_assert(offsetof(Out_Module, hMainWindow) == 12);
static_assert(offsetof(Out_Module, Open) == 36);
static_assert(offsetof(Out_Module, Write) == 44);
static_assert(offsetof(Out_Module, CanWrite) == 48);
static_assert(offsetof(Out_Module, GetWrittenTime) == 76);

static_assert(sizeof(HostCallbacks) == 10 * 4, "the host callback table has 10 slots");
static_assert(offsetof(HostCallbacks, onLength) == 12);
static_assert(offsetof(HostCallbacks, onUnknownKey) == 24);
static_assert(offsetof(HostCallbacks, lastResult) == 32);
static_assert(offsetof(HostCallbacks, abortFlag) == 36);
#endif

} // namespace
