#pragma once

#include "common/Levels.h"

namespace tessaloom
{

// The measurements of one whole buffer. The initial values are the
// "not measurable" values: an analysis that cannot measure a field leaves it so.
struct AnalysisResult
{
    double integratedLUFS = kNoLevelDb;
    double truePeakDBTP = kNoLevelDb;
    double snrDB = 0.0;
    double noiseFloorDBFS = kNoLevelDb;
    double voicedPercent = 0.0;
    double spectralTiltDB = 0.0;
    double sibilanceRMS = 0.0;
    double sibilanceDBFS = kNoLevelDb;
    double crestFactorDB = 0.0;
    double sampleRate = 0.0;
    int numChannels = 0;
    int numSamples = 0;
    double durationSeconds = 0.0;
    bool hasGridHum = false;
};

} // namespace tessaloom
