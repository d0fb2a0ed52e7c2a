// -TESTENC: one convert job per test parameter set that the encoder offers, each from a
// freshly loaded encoder.
#include <cstdio>

#include "cmdline/CommandRecord.h"
#include "convert/QZ_Convertor.h"
#include "convert/convert_jobs.h"
#include "convert/decode_driver.h"
#include "info/info.h"
#include "kernova/message_codes.h"
#include "modules/loader.h"
#include "state/host_table.h"
#include "support/All_Func.h"
#include "support/Fnames_Rout.h"

namespace {

constexpr const char *kAnySource = "*.*";

const char *LoadedEncoderExtension() {
    return converterState.encoderExtensionGetter ? converterState.encoderExtensionGetter()
                                                 : nullptr;
}

// Points the record at test set `index`; false when the encoder offers no such set.
bool PrepareTestSet(CommandRecord *record, const char *testFolder, int index) {
    const char *params = nullptr;
    const char *fileName = nullptr;
    if (GetTestString(&params, &fileName, index) != 1)
        return false;
    char *output = AddSlash(testFolder);
    AddStr(&output, fileName);
    AddIfNoExtension(&output, LoadedEncoderExtension(), kAnySource);
    AssignString(output, &record->outputName);
    FreeString(&output);
    AssignString(params, &record->encoderParams);
    return true;
}

// Runs every test set; the encoder and the converter state are loaded on entry.
int RunTestSets(CommandRecord *record, const char *testFolder) {
    int result = KN_RESULT_DONE;
    for (int index = 0; PrepareTestSet(record, testFolder, index); ++index) {
        // The convert job loads the encoder and the converter state itself.
        UnloadOutModule();
        DeInitConvertor();
        result = ConvertJob(record);
        if (result == KN_RESULT_STOPPED)
            return result;
        StoreLastResult(result);
        GetHostTable().onMessage(result, 0);
        std::printf("\n");
        // A stop asked for between two test conversions ends the test, not only the current one.
        if (IsAbortRequested())
            return KN_RESULT_STOPPED;
        if (!InitConvertor())
            return KN_RESULT_CONVERTER_START;
        if (!LoadOutModule(record->encoderName))
            return KN_RESULT_FAILED;
    }
    return result;
}

} // namespace

int TestEncoderJob(CommandRecord *record) {
    TakeCallbackCopies();
    if (!InitConvertor())
        return KN_RESULT_CONVERTER_START;
    LoadWinampPlugIns();
    if (!LoadOutModule(record->encoderName)) {
        DeInitConvertor();
        return KN_RESULT_FAILED;
    }
    char *testFolder = nullptr;
    AssignString(record->outputName, &testFolder);
    std::printf("Test encoder : %s\n----------------------------------------------------------\n",
                record->encoderName ? record->encoderName : "");
    const int result = RunTestSets(record, testFolder);
    UnloadOutModule();
    DeInitConvertor();
    FreeString(&testFolder);
    return result;
}
