#include "tools/NoiseReducer.h"

// Placeholder until the noise reducer lands: always the pass-through result.
NoiseReductionResult NoiseReducer::process (const juce::String& inputPath, const juce::String&, const NoiseReducerConfig&)
{
    NoiseReductionResult r;
    r.success = true;
    r.engine = NoiseReductionEngine::Passthrough;
    r.outputPath = inputPath;
    r.message = "DeepFilterNet3 failed. Audio unchanged.";
    return r;
}
NoiseReductionResult NoiseReducer::runDeepFilterNet3 (const juce::String&, const juce::String&, const NoiseReducerConfig&) { return {}; }
bool NoiseReducer::resampleWithFFmpeg (const juce::String&, const juce::String&, int, const juce::String&) { return false; }
