// The core's answer to an encoder that would change the input's sample rate (-FIXFREQ). Every
// routine takes the input's rate first and the rate the encoder would choose second, in Hz.
#pragma once

// True when both rates belong to a known family (8000: 8000, 16000, 32000, 48000; 11025:
// 11025, 22050, 44100) and the families differ.
bool IsFamilyChange(int sourceRate, int wantedRate);
// The rate of the other family next to `wantedRate`, upwards when the source is lower; the
// source rate itself for a wanted rate without a neighbour.
int NeighbourRate(int sourceRate, int wantedRate);
// The encoders' FixFreqCallback: applies the converter state's -FIXFREQ rule to the loaded
// encoder's parameters and reports a change (81, then 203 with the new parameters) or,
// under rule 0, a family change (82). Runs on the thread that calls the encoder.
void FixFreqHandler(int sourceRate, int wantedRate);
