#include "pipeline/AutoMap.h"

#include "common/Levels.h"

#include <juce_core/juce_core.h>

namespace tessaloom
{

namespace
{
// Rule tables. Every comparison is strict and made on the double analysis
// values, so a NaN measurement fails both tests of a rule and lands in its
// middle row: the safe, moderate setting.

// Noisier input lets the noise reducer take more.
constexpr double lowSnrDb = 15.0;
constexpr double highSnrDb = 30.0;
constexpr float attenLowSnrDb = 15.0f;
constexpr float attenHighSnrDb = 10.0f;
constexpr float attenMidSnrDb = 12.0f;

// Peaky (uncompressed) input gets more drive into the clipper.
constexpr double peakyCrestDb = 18.0;

// Dark input gets more air and a mud cut; bright input less air and presence.
constexpr double darkTiltDb = -3.0;
constexpr double brightTiltDb = 3.0;

// A sibilance level at or below this was not measured (the analysis writes -144).
constexpr double sibilanceNotMeasuredDb = kNotMeasuredLufs;

// The expander opens just above the measured noise floor.
constexpr float expanderAboveFloorDb = 3.0f;

juce::String db1 (float value)
{
    return juce::String (value, 1);
}
} // namespace

AutoMapParameters AutoMap::fromAnalysis (const AnalysisResult& analysis)
{
    AutoMapParameters p;

    if (analysis.snrDB < lowSnrDb)
        p.df3AttenLimitDb = attenLowSnrDb;
    else if (analysis.snrDB > highSnrDb)
        p.df3AttenLimitDb = attenHighSnrDb;
    else
        p.df3AttenLimitDb = attenMidSnrDb;

    if (analysis.crestFactorDB > peakyCrestDb)
    {
        p.reportedCompRatio = 4.0f;
        p.saturationDriveDb = 0.5f;
    }
    else
    {
        p.reportedCompRatio = 2.0f;
        p.saturationDriveDb = 0.2f;
    }

    if (analysis.spectralTiltDB < darkTiltDb)
    {
        p.airShelfDb = 4.0f;
        p.mudCutDb = -3.0f;
        p.presenceDb = 3.0f;
    }
    else if (analysis.spectralTiltDB > brightTiltDb)
    {
        p.airShelfDb = -2.0f;
        p.mudCutDb = 0.0f;
        p.presenceDb = 1.0f;
    }
    else
    {
        p.airShelfDb = 2.0f;
        p.mudCutDb = 0.0f;
        p.presenceDb = 3.0f;
    }

    p.expanderThresholdDb = (float) analysis.noiseFloorDBFS + expanderAboveFloorDb;
    return p;
}

juce::String AutoMap::logLine (const AutoMapParameters& p, const AnalysisResult& analysis)
{
    return "[AutoMap] DF3 Atten=" + db1 (p.df3AttenLimitDb) + " Comp Ratio=" + db1 (p.reportedCompRatio) + ":1"
           + " MudCut=" + db1 (p.mudCutDb) + "dB" + " EQ Air=" + db1 (p.airShelfDb) + "dB"
           + " Sibilance=" + db1 ((float) analysis.sibilanceDBFS) + "dBFS";
}

// The offset is target minus measured loudness, unclamped: it is what pre-gain
// would apply without its +12 dB cap, and it is added even when pre-gain was
// capped, bypassed or could not measure the loudness.
float AutoMap::deEsserThreshold (float targetLufs, const AnalysisResult& secondAnalysis)
{
    const double sibilance = secondAnalysis.sibilanceDBFS;
    if (! (sibilance > sibilanceNotMeasuredDb))
        return (float) kNoLevelDb;

    const float offset = targetLufs - (float) secondAnalysis.integratedLUFS;
    return (float) ((double) offset + sibilance);
}

// Unlike the de-esser, the expander keeps its base threshold when pre-gain is
// bypassed or the loudness was not measured.
float AutoMap::expanderThreshold (float targetLufs, const AnalysisResult& secondAnalysis,
                                  float baseThresholdDb, bool preGainBypassed)
{
    const float loudness = (float) secondAnalysis.integratedLUFS;
    if (loudness > (float) kNotMeasuredLufs && ! preGainBypassed)
        return (targetLufs - loudness) + baseThresholdDb;
    return baseThresholdDb;
}

} // namespace tessaloom
