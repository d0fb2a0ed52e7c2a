#include "format/fix_freq.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "kernova/encoder.h"
#include "kernova/message_codes.h"
#include "modules/loader.h"
#include "state/converter_state.h"

namespace {

enum RateFamily { kNoFamily, kFamily8000, kFamily11025 };

RateFamily FamilyOf(int rate) {
    switch (rate) {
    case 8000:
    case 16000:
    case 32000:
    case 48000:
        return kFamily8000;
    case 11025:
    case 22050:
    case 44100:
        return kFamily11025;
    default:
        return kNoFamily;
    }
}

void SetEncoderRate(int rate) {
    if (currentOutModule && currentOutModule->SetParamValue)
        currentOutModule->SetParamValue(converterState.encoderParamBlock, ENCODER_PARAM_SAMPLE_RATE,
                                        rate);
}

// Tells the user the encoder's parameters after they were changed (or would have been).
void ShowEncoderParams() {
    std::vector<char> buffer(ENCODER_PARAM_BUFFER_SIZE, 0);
    char *text = buffer.data();
    if (currentOutModule && currentOutModule->ParamsToString)
        currentOutModule->ParamsToString(converterState.encoderParamBlock, &text);
    buffer.back() = '\0';
    converterState.onError(KN_ERR_FIXFREQ_CHANGED, 0);
    converterState.onMessage(KN_MSG_ENCODER_PARAMS, reinterpret_cast<intptr_t>(buffer.data()));
}

} // namespace

bool IsFamilyChange(int sourceRate, int wantedRate) {
    const RateFamily source = FamilyOf(sourceRate);
    const RateFamily wanted = FamilyOf(wantedRate);
    return source != kNoFamily && wanted != kNoFamily && source != wanted;
}

int NeighbourRate(int sourceRate, int wantedRate) {
    const bool upwards = sourceRate < wantedRate;
    switch (wantedRate) {
    case 8000:
        return 11025;
    case 11025:
        return upwards ? 16000 : 8000;
    case 16000:
        return upwards ? 22050 : 11025;
    case 22050:
        return upwards ? 32000 : 16000;
    case 32000:
        return upwards ? 44100 : 22050;
    case 48000:
        return 44100;
    default:
        return sourceRate;
    }
}

void FixFreqHandler(int sourceRate, int wantedRate) {
    const bool familyChange = IsFamilyChange(sourceRate, wantedRate);
    switch (static_cast<unsigned>(converterState.fixFreq)) {
    case 0:
        if (familyChange) {
            char text[32];
            std::snprintf(text, sizeof text, "%d -> %d", sourceRate, wantedRate);
            converterState.onError(KN_ERR_FIXFREQ_FAMILY, reinterpret_cast<intptr_t>(text));
        }
        return;
    case 1:
        if (!familyChange)
            return;
        SetEncoderRate(NeighbourRate(sourceRate, wantedRate));
        break;
    case 2:
        if (!familyChange)
            return;
        SetEncoderRate(sourceRate);
        break;
    case 3:
        if (wantedRate == sourceRate)
            return;
        SetEncoderRate(sourceRate);
        break;
    default:
        if (!familyChange)
            return;
        break;
    }
    ShowEncoderParams();
}
