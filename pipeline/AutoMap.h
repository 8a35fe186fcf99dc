#pragma once

#include "analysis/AnalysisResult.h"

#include <juce_core/juce_core.h>

namespace tessaloom
{

// Stage parameters derived from the input's analysis. The defaults are the
// values used when the input cannot be read for it.
struct AutoMapParameters
{
    float df3AttenLimitDb = 100.0f;
    float reportedCompRatio = 2.0f;
    float mudCutDb = 0.0f;
    float airShelfDb = 2.0f;
    float presenceDb = 3.0f;
    float expanderThresholdDb = -60.0f;
    float saturationDriveDb = 2.0f;
};

class AutoMap
{
public:
    // The mapping from the input's analysis.
    static AutoMapParameters fromAnalysis (const AnalysisResult& analysis);

    // The "[AutoMap]" log line of a mapping and the analysis it came from.
    static juce::String logLine (const AutoMapParameters& params, const AnalysisResult& analysis);

    // Thresholds re-referenced to the level after pre-gain, in dBFS.
    static float deEsserThreshold (float targetLufs, const AnalysisResult& secondAnalysis);
    static float expanderThreshold (float targetLufs, const AnalysisResult& secondAnalysis,
                                    float baseThresholdDb, bool preGainBypassed);
};

} // namespace tessaloom
