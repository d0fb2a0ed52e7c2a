#include "convert/job_steps.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "convert/QZ_Convertor.h"
#include "format/fix_freq.h"
#include "kernova/message_codes.h"
#include "modules/loader.h"
#include "platform/platform.h"
#include "state/host_table.h"
#include "support/All_Func.h"

namespace {

constexpr int kParamDescriptionSize = 256;

} // namespace

bool StartConverter() {
    void *paramBlock = converterState.encoderParamBlock;
    converterState = ConverterState{};
    converterState.encoderParamBlock = paramBlock;
    // Encoders loaded from here on ask the -FIXFREQ rule about a rate change.
    fixFreqHandler = FixFreqHandler;
    TakeCallbackCopies();
    if (!InitConvertor())
        return false;
    LoadWinampPlugIns();
    return true;
}

char *ChooseDecoder() {
    char *file = nullptr;
    if (converterState.decoderName && FindInModuleFile(converterState.decoderName, &file)) {
        converterState.onMessage(KN_MSG_DECODER, TextArg(converterState.decoderName));
        return file;
    }
    converterState.onMessage(KN_MSG_DECODER, TextArg("default"));
    file = GetInModuleForFile(converterState.inputName, 0);
    if (!file)
        converterState.onError(KN_ERR_NO_DECODER, TextArg(converterState.inputName));
    return file;
}

int RunWithDecoder(int (*useDecoder)(), void (*release)()) {
    char *decoderFile = ChooseDecoder();
    if (!decoderFile)
        return KN_RESULT_FAILED;
    int result = KN_RESULT_FAILED;
    if (!LoadInModule(decoderFile))
        converterState.onError(KN_ERR_DECODER_LOAD, TextArg(decoderFile));
    else
        result = useDecoder();
    release();
    FreeString(&decoderFile);
    return result;
}

void ApplyDecoderParams(bool describe) {
    if (!converterState.decoderParams || !currentInModuleEx || !currentInModuleEx->SetParamString)
        return;
    if (!currentInModuleEx->SetParamString(converterState.decoderParams)) {
        converterState.onError(KN_ERR_DECODER_PARAMS, TextArg(converterState.decoderParams));
        if (currentInModuleEx->SetDefaultParams)
            currentInModuleEx->SetDefaultParams();
        return;
    }
    if (describe && currentInModuleEx->GetParamDescription) {
        char description[kParamDescriptionSize] = {};
        currentInModuleEx->GetParamDescription(description);
        description[kParamDescriptionSize - 1] = '\0';
        converterState.onMessage(KN_MSG_DECODER_PARAMS, TextArg(description));
        return;
    }
    converterState.onMessage(KN_MSG_DECODER_PARAMS, TextArg(converterState.decoderParams));
}

int ReportInputLength() {
    char title[500] = {};
    int lengthMs = 0;
    if (currentInModule->GetFileInfo)
        currentInModule->GetFileInfo(converterState.inputName, title, &lengthMs);
    if (lengthMs > 0) {
        converterState.onLength(lengthMs / 1000);
        converterState.onPosition(0);
    }
    return lengthMs > 0 ? lengthMs : 0;
}

void ReportDecoderError(int code) {
    const char *detail = currentInModuleErrorText ? currentInModuleErrorText() : nullptr;
    if (!detail) {
        converterState.onError(code, 0);
        return;
    }
    std::string text = converterState.inputName ? converterState.inputName : "";
    if (detail[0] != '\0')
        text += std::string(": ") + detail;
    converterState.onError(code, TextArg(text.c_str()));
}

void DeleteStaleSettingsFiles() {
    const std::string settings = MakePlugInPath("", {"in", "tmpset.dat"});
    platform::DeleteFile("zorvc.ini");
    platform::DeleteFile(settings.c_str());
}

void StripLibrarySuffix(char **name) {
    if (!*name)
        return;
    const size_t length = std::strlen(*name);
    const size_t suffix = std::strlen(platform::kLibrarySuffix);
    if (length < suffix)
        return;
    std::string stripped(*name, length - suffix);
    AssignString(stripped.c_str(), name);
}
