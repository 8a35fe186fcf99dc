#include "pipeline/AudioPipeline.h"

#include "common/IntermediateNames.h"
#include "io/NativeNames.h"
#include "pipeline/FileRun.h"
#include "pipeline/OutputMeasure.h"
#include "pipeline/StageLog.h"

namespace tessaloom
{

namespace file_run
{
namespace
{
const juce::String ruleLine ("========================================");

juce::String onOff (bool value)
{
    return value ? "ON" : "OFF";
}
} // namespace

void log (const juce::String& message)
{
    juce::Logger::writeToLog (message);
}

double nowMs()
{
    return juce::Time::getMillisecondCounterHiRes();
}

FileRun::FileRun (const juce::File& in, const juce::File& out, const PipelineConfig& c)
    : input (in), output (out), config (c), aim (delivery::finishAimOf (c)), work (in, out), currentFile (in)
{
}

FileRun::~FileRun()
{
    if (result.success)
        return;
    if (exportedFeed != juce::File())
        native_names::removeFile (exportedFeed); // named as the input is, which may not be UTF-8
    if (inputCopy != juce::File())
        inputCopy.deleteFile();
}

PipelineResult FileRun::master()
{
    log (ruleLine);
    log ("[AudioPipeline] Processing: " + input.getFullPathName());
    log ("[AudioPipeline] Denoise=" + onOff (config.denoise) + " Compressor=" + onOff (config.compressor)
         + " EQ=" + onOff (config.eq) + " Voice=" + config.voiceType);

    if (! analyseAndPreFilter())
        return result;
    reduceNoise();
    if (! ((config.compressor || config.eq) ? runChainIntoOutput() : copyToOutput()))
        return result;
    finishOutputs();
    if (config.measureOutput)
    {
        // The output is mastered and in place: whatever befalls its measurement never fails the file.
        try
        {
            measureOutput();
        }
        catch (const std::exception& e)
        {
            result.output.reset();
            result.outputMeasureError = "Could not measure the output: " + juce::String (e.what());
        }
    }
    return result;
}

PipelineResult& FileRun::fail (const juce::String& message)
{
    result.errorMessage = message;
    result.processingTimeMs = elapsedMs();
    return result;
}

// Fails the file: a step left samples that are not finite numbers.
bool FileRun::stopAfter (const juce::String& label, int nonFiniteCount)
{
    fail ("Invalid non-finite audio after " + label);
    log (stage_log::nonFiniteLine (result.errorMessage, nonFiniteCount));
    return false;
}

// The pre-filtered file is a product of the run and goes beside the output;
// everything else in the work folder is transient.
void FileRun::finishOutputs()
{
    // With --outputs-only the pre-filtered file goes with the work folder.
    work.finish (config.outputsOnly ? juce::String() : juce::String (intermediate_names::prefiltered),
                 output.getParentDirectory());

    result.success = true;
    result.processingTimeMs = elapsedMs();
    log ("[AudioPipeline] COMPLETE. Total time: " + juce::String (result.processingTimeMs, 1) + "ms");
    log (ruleLine);
}

// The report's measurement of the output (pipeline/OutputMeasure.h).
void FileRun::measureOutput()
{
    const double begin = nowMs();
    auto back = output_measure::readBackOutput (output, config.deliveryPreset.isNotEmpty(), loudnessWeights);
    result.output = back.measurement;
    result.outputOverview = back.overview;
    result.outputMeasureError = back.error;
    result.outputMeasureMs = nowMs() - begin;
}
} // namespace file_run

PipelineResult AudioPipeline::processFile (const juce::File& input, const juce::File& output,
                                           const PipelineConfig& config)
{
    file_run::FileRun run (input, output, config);
    return run.master();
}

} // namespace tessaloom
