// The core's answer to an encoder that would change the input's sample rate (-FIXFREQ).
#pragma once

bool IsFamilyChange(int sourceRate, int wantedRate);
int NeighbourRate(int wantedRate, int sourceRate);
void FixFreqHandler(int sourceRate, int wantedRate);
