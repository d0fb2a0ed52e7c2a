// The play job: one input file decoded into the playback output plug-in "DirectSound".
#include <cstdint>
#include <cstdio>

#include "cmdline/CommandRecord.h"
#include "convert/QZ_Convertor.h"
#include "convert/convert_jobs.h"
#include "convert/decode_driver.h"
#include "convert/job_steps.h"
#include "kernova/message_codes.h"
#include "modules/loader.h"
#include "state/host_table.h"
#include "support/All_Func.h"

namespace {

const char kPlaybackModule[] = "DirectSound";
constexpr int kPlayVolume = 255;

bool AttachPlaybackOutput() {
    if (currentWinampOutModule) {
        AttachOutput(currentInModule, currentWinampOutModule);
        return true;
    }
    if (!LoadWinampOutModule(kPlaybackModule)) {
        converterState.onError(KN_ERR_ENCODER_LOAD, TextArg(kPlaybackModule));
        return false;
    }
    AttachOutput(currentInModule, currentWinampOutModule);
    if (currentWinampOutModule->Init)
        currentWinampOutModule->Init();
    return true;
}

int PlayLoadedFile() {
    DeleteStaleSettingsFiles();
    if (!AttachPlaybackOutput())
        return KN_RESULT_FAILED;
    if (currentInModule->Init)
        currentInModule->Init();
    ReportInputLength();
    ApplyDecoderParams(true);
    const int decoded =
        DecodeFile(converterState.inputName, kPlayVolume, converterState.previewSeconds);
    if (DecodeEndedDamaged())
        ReportDecoderError(decoded);
    return decoded == 0 ? KN_RESULT_DONE : KN_RESULT_FAILED;
}

void ReleasePlayModules() {
    UnloadWinampOutModule();
    UnloadInModule();
}

} // namespace

int WINAMP_PlayOneFile() {
    return RunWithDecoder(PlayLoadedFile, ReleasePlayModules);
}

int PlayJob(CommandRecord *record) {
    if (!StartConverter())
        return KN_RESULT_FAILED;
    AssignString(record->decoderParams, &converterState.decoderParams);
    AssignString(record->inputName, &converterState.inputName);
    AssignString(record->decoderName, &converterState.decoderName);
    converterState.previewSeconds = record->previewSeconds;
    converterState.onMessage(KN_MSG_INPUT, TextArg(record->inputName));
    const int result = WINAMP_PlayOneFile();
    if (result == KN_RESULT_DONE) {
        converterState.onLength(100);
        converterState.onPosition(200);
    }
    std::printf("\n");
    DeInitConvertor();
    return result;
}
