#pragma once

#include "pipeline/stages/BiquadCascade.h"

#include <juce_audio_basics/juce_audio_basics.h>

namespace tessaloom
{

// The vocal EQ: band limits for the voice type, fixed low-mid thickness, a mud
// cut when the mapping asks for one, presence and an air shelf.
namespace stages
{
struct VocalEqParameters
{
    juce::String voiceType { "Male" }; // a type containing "Male" (case-sensitive) gets the male band
    float airShelfDb = 2.0f;           // the mapped air value; the shelf adds a fixed lift on top
    float presenceDb = 3.0f;
    float mudCutDb = 0.0f;             // a cut at 300 Hz runs only below -0.1 dB
};

// High-pass, thickness, (mud cut), presence, air shelf, low-pass: five or six sections.
BiquadCascadeDesign designVocalEq (const VocalEqParameters& parameters, double sampleRate);

struct VocalEqReport
{
    juce::String voiceType;
    float thicknessDb = 0.0f;
    float mudCutDb = 0.0f;
    float presenceDb = 0.0f;
    float airShelfDb = 0.0f;
};

// What a run with these parameters reports.
VocalEqReport describeVocalEq (const VocalEqParameters& parameters);
} // namespace stages

} // namespace tessaloom
