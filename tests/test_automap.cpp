#include "pipeline/AutoMap.h"
#include "pipeline/PipelineConfig.h"
#include "pipeline/steps/Steps.h"
#include "support/StageMeasure.h"

#include <gtest/gtest.h>

#include <limits>


using namespace tessaloom;

namespace
{
constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

AnalysisResult analysisWith (double snr, double crest, double tilt)
{
    AnalysisResult a;
    a.snrDB = snr;
    a.crestFactorDB = crest;
    a.spectralTiltDB = tilt;
    a.noiseFloorDBFS = -70.0;
    a.sibilanceDBFS = -40.0;
    return a;
}

} // namespace

TEST (AutoMap, AttenuationLimitFromSnrUsesStrictComparisons)
{
    struct Case { double snr; float expected; const char* label; };
    const Case cases[] = {
        { 14.99, 15.0f, "just below 15" }, { 15.0, 12.0f, "exactly 15" }, { 20.0, 12.0f, "inside" },
        { 30.0, 12.0f, "exactly 30" },     { 30.01, 10.0f, "just above 30" }, { -5.0, 15.0f, "negative" },
        { notANumber, 12.0f, "NaN takes the middle case" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (AutoMap::fromAnalysis (analysisWith (c.snr, 10.0, 0.0)).df3AttenLimitDb, c.expected) << c.label;
}

TEST (AutoMap, RatioAndDriveFromCrestFactor)
{
    struct Case { double crest; float ratio; float drive; const char* label; };
    const Case cases[] = {
        { 12.0, 2.0f, 0.2f, "dense" },     { 18.0, 2.0f, 0.2f, "exactly 18" },
        { 18.01, 4.0f, 0.5f, "above 18" }, { notANumber, 2.0f, 0.2f, "NaN" },
    };
    for (const auto& c : cases)
    {
        const auto p = AutoMap::fromAnalysis (analysisWith (20.0, c.crest, 0.0));
        EXPECT_EQ (p.reportedCompRatio, c.ratio) << c.label;
        EXPECT_EQ (p.saturationDriveDb, c.drive) << c.label;
    }
}

TEST (AutoMap, EqFromSpectralTilt)
{
    struct Case { double tilt; float air; float mud; float presence; const char* label; };
    const Case cases[] = {
        { -3.01, 4.0f, -3.0f, 3.0f, "dark" },   { -3.0, 2.0f, 0.0f, 3.0f, "exactly -3" },
        { 0.0, 2.0f, 0.0f, 3.0f, "neutral" },   { 3.0, 2.0f, 0.0f, 3.0f, "exactly +3" },
        { 3.01, -2.0f, 0.0f, 1.0f, "bright" },  { notANumber, 2.0f, 0.0f, 3.0f, "NaN" },
    };
    for (const auto& c : cases)
    {
        const auto p = AutoMap::fromAnalysis (analysisWith (20.0, 10.0, c.tilt));
        EXPECT_EQ (p.airShelfDb, c.air) << c.label;
        EXPECT_EQ (p.mudCutDb, c.mud) << c.label;
        EXPECT_EQ (p.presenceDb, c.presence) << c.label;
    }
}

TEST (AutoMap, ExpanderBaseIsNoiseFloorPlusThree)
{
    auto a = analysisWith (20.0, 10.0, 0.0);
    a.noiseFloorDBFS = -70.0;
    EXPECT_FLOAT_EQ (AutoMap::fromAnalysis (a).expanderThresholdDb, -67.0f);
}

TEST (AutoMap, DefaultsAreThoseOfAnUnreadableInput)
{
    const AutoMapParameters p;
    EXPECT_EQ (p.df3AttenLimitDb, 100.0f);
    EXPECT_EQ (p.mudCutDb, 0.0f);
    EXPECT_EQ (p.airShelfDb, 2.0f);
    EXPECT_EQ (p.presenceDb, 3.0f);
    EXPECT_EQ (p.expanderThresholdDb, -60.0f);
    EXPECT_EQ (p.saturationDriveDb, 2.0f);
}

TEST (AutoMap, LogLineForTheSampleInput)
{
    auto a = analysisWith (20.0, 12.0, -4.0);
    a.sibilanceDBFS = -35.26;
    EXPECT_EQ (AutoMap::logLine (AutoMap::fromAnalysis (a), a), "[AutoMap] DF3 Atten=12.0 Comp Ratio=2.0:1 MudCut=-3.0dB EQ Air=4.0dB Sibilance=-35.3dBFS");
}

TEST (AutoMap, LogLineForABrightPeakyInput)
{
    auto a = analysisWith (40.0, 25.0, 5.0);
    a.sibilanceDBFS = -20.04;
    EXPECT_EQ (AutoMap::logLine (AutoMap::fromAnalysis (a), a), "[AutoMap] DF3 Atten=10.0 Comp Ratio=4.0:1 MudCut=0.0dB EQ Air=-2.0dB Sibilance=-20.0dBFS");
}

TEST (AutoMap, ExpanderThresholdReReferencing)
{
    AnalysisResult second;
    second.integratedLUFS = -20.0;

    // Noise floor -70 -> base -67; target -14 is 6 dB above the measured -20.
    EXPECT_FLOAT_EQ (AutoMap::expanderThreshold (-14.0f, second, -67.0f, false), -61.0f);
    EXPECT_FLOAT_EQ (AutoMap::expanderThreshold (-14.0f, second, -67.0f, true), -67.0f) << "pre-gain bypassed";
    for (int number : { 0, 2, 6, 7, 9, -1 })
    {
        PipelineConfig config;
        config.bypassStage = number;
        EXPECT_FALSE (steps::bypassed (steps::preGain.row, config)) << number;
        EXPECT_FLOAT_EQ (AutoMap::expanderThreshold (-14.0f, second, -67.0f, steps::bypassed (steps::preGain.row, config)), -61.0f)
            << "bypass number " << number << " shifts";
    }

    // The offset is unclamped: 16 dB although pre-gain stops at +12.
    second.integratedLUFS = -30.0;
    EXPECT_FLOAT_EQ (AutoMap::expanderThreshold (-14.0f, second, -67.0f, false), -51.0f);

    for (double notMeasured : { -140.0, -144.0, notANumber })
    {
        second.integratedLUFS = notMeasured;
        EXPECT_FLOAT_EQ (AutoMap::expanderThreshold (-14.0f, second, -67.0f, false), -67.0f) << notMeasured;
    }
}

TEST (AutoMap, DeEsserThresholdReReferencing)
{
    AnalysisResult second;
    second.integratedLUFS = -30.0;
    second.sibilanceDBFS = -45.0;

    // Pre-gain applies only +12 dB here, but the threshold moves by the full 16.
    EXPECT_FLOAT_EQ (AutoMap::deEsserThreshold (-14.0f, second), -29.0f);

    // The offset is added even when the loudness was not measured.
    second.integratedLUFS = -144.0;
    EXPECT_FLOAT_EQ (AutoMap::deEsserThreshold (-14.0f, second), -45.0f + 130.0f);

    // No sibilance level: -144 whatever the loudness.
    for (double level : { -140.0, -150.0, notANumber })
    {
        second.sibilanceDBFS = level;
        second.integratedLUFS = -20.0;
        EXPECT_EQ (AutoMap::deEsserThreshold (-14.0f, second), -144.0f) << level;
    }
}
