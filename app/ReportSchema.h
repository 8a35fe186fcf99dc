#pragma once

#include <juce_core/juce_core.h>

#include <optional>
#include <vector>

namespace tessaloom
{

// A report line's schema, in one place: the names of its keys, which the
// writer writes (app/ReportWriter.cpp) and the page reads (app/HtmlReport.cpp),
// and the typed row a parsed line is read into once, from which the page is
// drawn. The scale-out merge (share/slurm/merge-reports.py) writes the line of
// an input whose run wrote none; a test holds its keys to nullWithoutResult.
namespace report_schema
{
// Every key a line holds, at whatever depth: a key is spelled once, here.
namespace key
{
// The line itself.
constexpr char inputPath[] = "inputPath";
constexpr char outputPath[] = "outputPath";
constexpr char check[] = "check";
constexpr char success[] = "success";
constexpr char error[] = "error";
constexpr char denoiseEngine[] = "denoiseEngine";
constexpr char denoiserPath[] = "denoiserPath";
constexpr char denoiserBundled[] = "denoiserBundled";
constexpr char processingTimeMs[] = "processingTimeMs";
constexpr char inputAnalysis[] = "inputAnalysis";
constexpr char settings[] = "settings";
constexpr char output[] = "output";
constexpr char outputMeasureError[] = "outputMeasureError";
constexpr char outputMeasureMs[] = "outputMeasureMs";
constexpr char encode[] = "encode";
constexpr char delivery[] = "delivery";
constexpr char room[] = "room";
constexpr char curves[] = "curves";

// The input's analysis (its own object, written by the analysis).
constexpr char integratedLUFS[] = "integratedLUFS";
constexpr char noiseFloorDBFS[] = "noiseFloorDBFS";
constexpr char hasGridHum[] = "hasGridHum";

// The output as measured (a check run's line measures its input here).
constexpr char integratedLufs[] = "integratedLufs";
constexpr char truePeakDbtp[] = "truePeakDbtp";
constexpr char samplePeakDbfs[] = "samplePeakDbfs";
constexpr char rmsDbfs[] = "rmsDbfs";
constexpr char quietestHalfSecondDbfs[] = "quietestHalfSecondDbfs";
constexpr char loudnessRangeLu[] = "loudnessRangeLu";
constexpr char durationSeconds[] = "durationSeconds";
constexpr char numFrames[] = "numFrames";
constexpr char sampleRate[] = "sampleRate";
constexpr char numChannels[] = "numChannels";
constexpr char targetLufs[] = "targetLufs";
constexpr char offTargetLu[] = "offTargetLu";
constexpr char noiseFloorDbfs[] = "noiseFloorDbfs";
constexpr char format[] = "format";

// A lossy delivery's encode.
constexpr char codec[] = "codec";
constexpr char bitrateKbps[] = "bitrateKbps";
constexpr char encodes[] = "encodes";
constexpr char correctionDb[] = "correctionDb";
constexpr char correctionCostLu[] = "correctionCostLu";
constexpr char gainDb[] = "gainDb";
constexpr char decodedIntegratedLufs[] = "decodedIntegratedLufs";
constexpr char decodedTruePeakDbtp[] = "decodedTruePeakDbtp";
constexpr char ceilingDbtp[] = "ceilingDbtp";
constexpr char ceilingMet[] = "ceilingMet";

// The delivery preset's verdict and its checks.
constexpr char preset[] = "preset";
constexpr char pass[] = "pass";
constexpr char checks[] = "checks";
constexpr char requirement[] = "requirement";
constexpr char measured[] = "measured";
constexpr char min[] = "min";
constexpr char max[] = "max";
constexpr char note[] = "note";

// The settings the page shows.
constexpr char finish[] = "finish";

// The room.
constexpr char clipping[] = "clipping";
constexpr char runs[] = "runs";
constexpr char longestRun[] = "longestRun";
constexpr char clippedSamples[] = "clippedSamples";
constexpr char share[] = "share";
constexpr char declippedSamples[] = "declippedSamples";
constexpr char hum[] = "hum";
constexpr char harmonic[] = "harmonic";
constexpr char hz[] = "hz";
constexpr char overNeighboursDb[] = "overNeighboursDb";
constexpr char mainsHz[] = "mainsHz";
constexpr char fundamentalHz[] = "fundamentalHz";
constexpr char lines[] = "lines";
constexpr char notchedHz[] = "notchedHz";
constexpr char denoiseLimit[] = "denoiseLimit";
constexpr char db[] = "db";
constexpr char source[] = "source";
constexpr char neededDb[] = "neededDb";
constexpr char background[] = "background";
constexpr char inputSpeechToPauseDb[] = "inputSpeechToPauseDb";
constexpr char outputSpeechToPauseDb[] = "outputSpeechToPauseDb";
constexpr char pausesLoweredDb[] = "pausesLoweredDb";
constexpr char shapePasses[] = "shapePasses";

// The pictures' data: curves.input and curves.output.
constexpr char input[] = "input";
constexpr char shortTermStepSeconds[] = "shortTermStepSeconds";
constexpr char shortTermLufs[] = "shortTermLufs";
constexpr char waveformStepSeconds[] = "waveformStepSeconds";
constexpr char waveformMin[] = "waveformMin";
constexpr char waveformMax[] = "waveformMax";
} // namespace key

// A line of an input that has no result (it failed before it was measured)
// holds whose line it is and how it went (inputPath, outputPath, success,
// error), then these, null; the scale-out merge writes exactly such a line
// for an input whose run left none.
constexpr const char* nullWithoutResult[] = { key::denoiseEngine, key::processingTimeMs, key::inputAnalysis,
                                              key::settings, key::output };

// Every key a line of a mastered input may hold at its top level, in the order written.
constexpr const char* lineKeys[] = { key::inputPath,     key::outputPath,      key::success,          key::error,
                                     key::denoiseEngine, key::denoiserPath,    key::denoiserBundled,  key::processingTimeMs,
                                     key::inputAnalysis, key::settings,        key::output,           key::outputMeasureError,
                                     key::outputMeasureMs, key::encode,        key::delivery,         key::room,
                                     key::curves };

//==============================================================================
// A finite number, else nothing: what a reader takes a figure to be.
std::optional<double> numberOf (const juce::var& v);

// One delivery check: a requirement with its measured value and limits.
struct Check
{
    juce::String requirement;
    bool pass = false;
    std::optional<double> measured, min, max;
};

// A curve of the pictures: a value every step seconds.
struct Curve
{
    double stepSeconds = 0.0;
    std::vector<double> values;
};

// One side's pictures (curves.input or curves.output).
struct Overview
{
    bool present = false;
    Curve loudness, waveformMin, waveformMax;
};

// What a page shows of one line, read from it once. Optional fields are
// absent from the line, null, or not of their type there.
struct ReportRow
{
    juce::String inputPath;
    juce::String outputPath; // as text, whatever the line holds there
    bool outputPathIsText = false;
    bool success = false;
    bool checkOnly = false; // a --check line: the input measured, nothing written
    std::optional<juce::String> error, denoiseEngine, finish;
    std::optional<double> processingTimeMs;

    struct Input
    {
        std::optional<double> integratedLufs, durationSeconds, noiseFloorDbfs;
        std::optional<bool> gridHum;
    } input;

    struct Output
    {
        std::optional<double> integratedLufs, truePeakDbtp, loudnessRangeLu, durationSeconds, targetLufs, offTargetLu,
            noiseFloorDbfs, quietestHalfSecondDbfs;
        std::optional<juce::String> format;
    } output;

    struct Encode
    {
        std::optional<juce::String> codec;
        std::optional<double> bitrateKbps, decodedIntegratedLufs, decodedTruePeakDbtp;
    } encode;

    struct Delivery
    {
        std::optional<juce::String> preset; // not empty when set
        bool passed = false;
        std::vector<Check> checks; // those with a verdict
    } delivery;

    struct Room
    {
        std::optional<double> clippingRuns, clippingLongestRun, clippingShare;
        bool humMeasured = false; // room.hum is an object
        bool humFound = false;    // and names the mains frequency
    } room;

    // The pictures' data, left in the line until drawn: the bulk of a line.
    juce::var inputCurves, outputCurves;
};

ReportRow readRow (const juce::var& line);

// A side's pictures, read when they are drawn.
Overview readOverview (const juce::var& curves);
} // namespace report_schema

} // namespace tessaloom
