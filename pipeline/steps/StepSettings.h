#pragma once

#include "common/Levels.h"

#include <juce_core/juce_core.h>

#include <optional>

namespace tessaloom
{

// What each step of the chain chose for one file: one record per step, made by
// the step's own design (pipeline/steps/Steps.h) and written into the report by
// the step itself, each under its own keys. A field is empty when its step did
// not run (switched off, bypassed) or its gain was not applied (loudness not
// measured); gains and thresholds in dB, thresholds in dBFS. ChainSettings, at
// the end, holds them all in the chain's order.
namespace steps
{
class ReportKeys;

struct PreGainSettings
{
    std::optional<float> gainDb;
    void addKeys (ReportKeys&) const;
};

struct DeEsserSettings
{
    std::optional<float> thresholdDbfs; // re-referenced to the level after pre-gain
    void addKeys (ReportKeys&) const;
};

struct ExpanderSettings
{
    std::optional<float> thresholdDbfs; // the same
    std::optional<float> ratio;
    void addKeys (ReportKeys&) const;
};

struct VocalEqSettings
{
    bool ran = false; // the figures below are those of the mapping when it ran
    juce::String voiceType;
    float airShelfDb = 0.0f;
    float presenceDb = 0.0f;
    float mudCutDb = 0.0f;
    void addKeys (ReportKeys&) const;
};

struct LevelerSettings
{
    std::optional<float> ratio; // the leveler's ratio as the mapping reports it
    void addKeys (ReportKeys&) const;
};

struct SaturationSettings
{
    std::optional<float> driveDb;
    void addKeys (ReportKeys&) const;
};

struct NormalizationSettings
{
    float measuredLufs = (float) kNoLevelDb; // loudness the gain was worked out from (no level until designed)
    std::optional<float> gainDb;
    void addKeys (ReportKeys&, bool chainRan) const; // the loudness is null when the chain did not run
};

// The peak limiter and the output trim after it.
struct LimiterSettings
{
    std::optional<float> ceilingDbfs;
    std::optional<float> trimDb;
    void addKeys (ReportKeys&) const;
};

// The loudness finish, when it ran (the gains are empty when it left the loudness alone).
struct LoudnessFinishSettings
{
    std::optional<float> ceilingDbtp;
    std::optional<double> maxGainReductionDb;  // over the finished file
    std::optional<double> meanGainReductionDb; // mean over every frame, dB
    std::optional<float> driveDb;              // added into the limiter on top of the normalization gain
    std::optional<float> gainDb;               // after the limiter
    int passes = 0;                            // passes over the samples to settle the loudness
    void addKeys (ReportKeys&) const;
};

// A flat JSON object written key by key in the order given; figures with three
// decimals (the reader compares them to hundredths of a dB). Quoting text is
// the report's own rule, handed in.
class ReportKeys
{
public:
    using Quote = juce::String (*) (const juce::String&);
    explicit ReportKeys (Quote quoteText) : quote (quoteText) {}

    ReportKeys& json (const char* key, const juce::String& value);
    ReportKeys& number (const char* key, std::optional<double> value); // null when empty
    ReportKeys& text (const char* key, const juce::String& value);
    juce::String close() const;

    const Quote quote;

private:
    juce::String written;
};
} // namespace steps

// What the chain chose for one file: each step's own record, in the chain's order.
struct ChainSettings
{
    bool ran = false; // false when the compressor and the EQ were both off and the output is a copy
    steps::PreGainSettings preGain;
    steps::DeEsserSettings deEsser;
    steps::ExpanderSettings expander;
    steps::VocalEqSettings vocalEq;
    steps::LevelerSettings leveler;
    steps::SaturationSettings saturation;
    steps::NormalizationSettings normalization;
    steps::LimiterSettings limiter;
    steps::LoudnessFinishSettings loudnessFinish;
};

} // namespace tessaloom
