// The convert job: one input/output pair from the command record, the encoder's settings,
// the decode passes, and the follow-up steps (-COPYID, -SETID, -DELSOURCE).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cmdline/CommandRecord.h"
#include "convert/QZ_Conv_func.h"
#include "convert/QZ_Convertor.h"
#include "convert/convert_jobs.h"
#include "convert/decode_driver.h"
#include "convert/job_steps.h"
#include "convert/safe_output.h"
#include "kernova/message_codes.h"
#include "modules/loader.h"
#include "platform/platform.h"
#include "state/host_table.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"
#include "tags/idtagger_extend.h"

namespace {

const char *PriorityName(unsigned level) {
    static const char *const names[] = {"High [0]", "Normal [1]", "Below Normal [2]",
                                        "Low [3]",  "Lower [4]",  "Lowest [5]"};
    return names[level > 5 ? 5 : level];
}

// "AUTO" picks the encoder by the output's extension; the record then names that module.
bool SettleEncoder(CommandRecord *record) {
    if (!record->encoderName || std::strcmp(record->encoderName, "AUTO") != 0) {
        AssignString(record->encoderName, &converterState.encoderModuleName);
        return true;
    }
    char *module = GetOutModuleForFile(record->outputName);
    if (!module) {
        converterState.onError(KN_ERR_NO_AUTO_ENCODER, TextArg(record->outputName));
        return false;
    }
    converterState.encoderModuleName = module;
    char *fileName = nullptr;
    ExtractOnlyFileName(module, &fileName);
    AssignString(fileName, &record->encoderName);
    FreeString(&fileName);
    StripLibrarySuffix(&record->encoderName);
    return true;
}

void CopyJobSettings(const CommandRecord *record) {
    AssignString(record->encoderParams, &converterState.encoderParams);
    AssignString(record->decoderParams, &converterState.decoderParams);
    AssignString(record->decoderName, &converterState.decoderName);
    AssignString(record->inputName, &converterState.inputName);
    AssignString(record->outputName, &converterState.outputName);
}

void ReportJobSettings(const CommandRecord *record) {
    converterState.onMessage(KN_MSG_ENCODER, TextArg(record->encoderName));
    converterState.onMessage(
        KN_MSG_ENCODER_PARAMS,
        TextArg(record->encoderParams ? record->encoderParams : "default settings"));
    converterState.onMessage(KN_MSG_INPUT, TextArg(record->inputName));
    converterState.onMessage(KN_MSG_OUTPUT, TextArg(record->outputName));
    converterState.cpuPriority = static_cast<unsigned>(record->cpuPriority) > 5
                                     ? 5u
                                     : static_cast<unsigned>(record->cpuPriority);
    converterState.fixFreq = record->fixFreq;
    converterState.onMessage(KN_MSG_CPU_PRIORITY,
                             TextArg(PriorityName(converterState.cpuPriority)));
}

// Putting the output in the input's place would destroy the input (and -DELSOURCE would then
// delete the only copy), so such a job is refused before anything is opened.
bool OutputIsInput() {
    const char *output = converterState.outputName;
    const bool same = output && converterState.inputName &&
                      platform::IsSameFile(output, converterState.inputName);
    if (same)
        converterState.onError(KN_ERR_OUTPUT_IS_INPUT, TextArg(output));
    return same;
}

// The output name as the writer will complete it, checked, and the file the encoder writes.
bool SettleOutput() {
    CompleteOutputName();
    return !OutputIsInput() && PrepareOutput();
}

void StartEncoder() {
    if (currentInModule->Init)
        currentInModule->Init();
    if (currentOutModule->SetOption)
        currentOutModule->SetOption(converterState.encoderOption);
    if (currentOutModule->Init)
        currentOutModule->Init();
    if (currentOutModule->pPriority)
        *currentOutModule->pPriority = static_cast<int>(converterState.cpuPriority);
}

bool SetEncoderParams() {
    if (!converterState.encoderParams) {
        if (currentOutModule->GetDefaultParams)
            currentOutModule->GetDefaultParams(&converterState.encoderParamBlock);
        return true;
    }
    int showParams = 0;
    if (!currentOutModule->StringToParams ||
        !currentOutModule->StringToParams(converterState.encoderParams,
                                          &converterState.encoderParamBlock, &showParams)) {
        converterState.onError(KN_ERR_ENCODER_PARAMS, TextArg(converterState.encoderParams));
        return false;
    }
    if (showParams == 1) {
        converterState.onError(KN_ERR_SHOW_PARAMS, 0);
        std::vector<char> buffer(ENCODER_PARAM_BUFFER_SIZE, 0);
        char *text = buffer.data();
        if (currentOutModule->ParamsToString)
            currentOutModule->ParamsToString(converterState.encoderParamBlock, &text);
        buffer.back() = '\0';
        converterState.onMessage(KN_MSG_ENCODER_PARAMS, TextArg(buffer.data()));
        std::printf("\n");
    }
    return true;
}

bool ReportLength() {
    if (ReportInputLength() > 0)
        return true;
    if (currentInModule->version != IN_MODULE_VERSION_WITH_ERROR_CODE)
        return true;
    // The decoder's own code says why it found no length; 6 stands in when it gives none.
    const int code = currentInModule->IsPaused ? currentInModule->IsPaused() : 0;
    if (code != 0)
        ReportDecoderError(code);
    else
        converterState.onError(KN_ERR_NO_LENGTH, TextArg(converterState.inputName));
    return false;
}

int PassResult(int decodeResult) {
    // The user learns why a file failed when the decoder found it damaged mid-stream.
    if (DecodeEndedDamaged())
        ReportDecoderError(decodeResult);
    if (decodeResult == 0)
        return KN_RESULT_DONE;
    return decodeResult == KN_RESULT_STOPPED ? KN_RESULT_STOPPED : KN_RESULT_FAILED;
}

// One decode into the encoder; an output that the writer found incomplete when it closed
// fails the pass even though the decode itself ended well.
int RunPass() {
    const int decodeResult = DecodeFile(converterState.inputName, 0, converterState.previewSeconds);
    return decodeResult == 0 && WriterOutputFailed() ? KN_RESULT_FAILED : decodeResult;
}

int RunPasses() {
    int decodeResult = RunPass();
    if (decodeResult != 0)
        return PassResult(decodeResult);
    while (currentOutModule->NeedsMorePasses && currentOutModule->NeedsMorePasses()) {
        // An abort between two passes must stop the conversion, not be lost.
        if (IsAbortRequested())
            return KN_RESULT_STOPPED;
        converterState.onMessage(KN_MSG_NEXT_PASS, 0);
        decodeResult = RunPass();
    }
    return PassResult(decodeResult);
}

int ConvertLoadedFile() {
    StartEncoder();
    if (!SetEncoderParams() || !ReportLength())
        return KN_RESULT_FAILED;
    Out_Module *writer = GetEncoderOutModule();
    currentInModule->outMod = writer;
    AttachOutput(currentInModule, writer);
    ApplyDecoderParams(false);
    return RunPasses();
}

void ReleaseModules() {
    if (currentOutModule && converterState.encoderParamBlock && currentOutModule->FreeParams)
        currentOutModule->FreeParams(&converterState.encoderParamBlock);
    UnloadInModule();
    UnloadOutModule();
}

int ParseCopyIdSide(char c) {
    switch (c) {
    case '1':
        return TAG_KIND_V1;
    case '2':
        return TAG_KIND_V2;
    case 'a':
    case 'A':
        return kBothTagKinds;
    default:
        return -1;
    }
}

// The tags go into the file that was written before it takes the output's place; the
// messages name the output, whose name may have been completed.
int RunTagFollowUps(CommandRecord *record) {
    AssignString(converterState.outputName, &record->outputName);
    if (record->copyId == 1 && !CopyIdTags(record, WrittenOutputName()))
        return KN_RESULT_FAILED;
    if (record->setId == 1) {
        std::printf("\n");
        return SetIdTagsOf(record, WrittenOutputName(), record->outputName);
    }
    return KN_RESULT_DONE;
}

// The steps after a finished conversion: the output takes its place only when its tags are
// written too, and the source goes only once the output stands in its place.
int FinishConversion(CommandRecord *record) {
    converterState.onLength(100);
    converterState.onPosition(200);
    if (RunTagFollowUps(record) != KN_RESULT_DONE || !CommitOutput())
        return KN_RESULT_FAILED;
    // A source converted only up to its preview limit is not deleted.
    if (record->deleteSource == 1 && !DecodeReachedPreview()) {
        platform::DeleteFile(record->inputName);
        converterState.onMessage(KN_MSG_SOURCE_DELETED, TextArg(record->inputName));
    }
    return KN_RESULT_DONE;
}

int ConvertWithDecoder() {
    DeleteStaleSettingsFiles();
    if (!LoadOutModule(converterState.encoderModuleName)) {
        converterState.onError(KN_ERR_ENCODER_LOAD, TextArg(converterState.encoderModuleName));
        return KN_RESULT_FAILED;
    }
    return SettleOutput() ? ConvertLoadedFile() : KN_RESULT_FAILED;
}

} // namespace

int ConvertOneFile() {
    return RunWithDecoder(ConvertWithDecoder, ReleaseModules);
}

int ConvertJob(CommandRecord *record) {
    if (!StartConverter())
        return KN_RESULT_FAILED;
    converterState.previewSeconds = record->previewSeconds;
    if (!SettleEncoder(record)) {
        DeInitConvertor();
        return KN_RESULT_FAILED;
    }
    CopyJobSettings(record);
    ReportJobSettings(record);
    int result = ConvertOneFile();
    if (result == KN_RESULT_DONE)
        result = FinishConversion(record);
    // A failed or stopped job leaves the output folder as it was.
    if (result != KN_RESULT_DONE)
        DiscardOutput();
    std::printf("\n");
    DeInitConvertor();
    return result;
}

bool CopyIdTags(CommandRecord *record, const char *outputFile) {
    if (!tagTable)
        return true;
    const int inputType = tagTable->GetTagFileType(record->inputName);
    const int outputType = tagTable->GetTagFileType(outputFile);
    if (inputType == TAG_FILE_NONE || outputType == TAG_FILE_NONE ||
        tagTable->ReadTags(record->inputName) == 0)
        return true;
    int source = kBothTagKinds;
    int destination = kBothTagKinds;
    if (record->copyIdArg) {
        const char *arg = record->copyIdArg;
        if (std::strlen(arg) != 3 || arg[1] != ':' || ParseCopyIdSide(arg[0]) < 0 ||
            ParseCopyIdSide(arg[2]) < 0) {
            converterState.onMessage(KN_MSG_BAD_COPYID, 0);
            return true;
        }
        source = ParseCopyIdSide(arg[0]);
        destination = ParseCopyIdSide(arg[2]);
    }
    const bool hasV1 = tagTable->HasTag(TAG_KIND_V1) == 1;
    const bool hasV2 = tagTable->HasTag(TAG_KIND_V2) == 1;
    if (source == TAG_KIND_V1 && hasV1)
        tagTable->CopyTagContents(TAG_KIND_V1);
    if (source == TAG_KIND_V2 && hasV2)
        tagTable->CopyTagContents(TAG_KIND_V2);
    int writeV1 = destination != TAG_KIND_V2 ? 1 : 0;
    int writeV2 = destination != TAG_KIND_V1 ? 1 : 0;
    if (destination == kBothTagKinds && outputType > TAG_FILE_LAST_WITH_OWN_V1 && !hasV2 && hasV1)
        tagTable->CopyTagContents(TAG_KIND_V1);
    if (outputType > TAG_FILE_MPEG)
        writeV2 = 1;
    // Tags that could not be written must not pass for copied.
    if (tagTable->WriteTags(outputFile, writeV1, writeV2) == 0) {
        converterState.onError(KN_ERR_SETID_WRITE, 0);
        return false;
    }
    converterState.onMessage(KN_MSG_TAGS_COPIED, 0);
    return true;
}
