#pragma once

// The accurate true-peak meter the delivery checks and the report use: the
// signal upsampled by a polyphase FIR interpolator (ITU-R BS.1770-4, Annex 2:
// 4x below 96 kHz, 2x from 96 kHz, none from 192 kHz) and its largest
// magnitude taken. The analysis meter (analysis/TruePeak.h) keeps its job in
// the chain's parameters; this one agrees with independent BS.1770 meters
// within a few hundredths of a dB. Takes the recording in blocks of any length.

#include <vector>

class PrecisionTruePeakMeter
{
public:
    PrecisionTruePeakMeter (int numChannels, double sampleRate);

    void add (const float* const* channels, int numFrames);

    // The largest magnitude over every channel, linear; 0 for silence.
    double peakLinear() const;
    // The same in dBTP; -144 for silence.
    double peakDbtp() const;

private:
    int numChannels = 0;
    int factor = 1;
    int tapsPerPhase = 1;
    std::vector<float> coefficients;        // phase by phase, tapsPerPhase each, newest sample first
    std::vector<std::vector<float>> history; // per channel: the last tapsPerPhase - 1 samples, then the block
    float peak = 0.0f;
};
