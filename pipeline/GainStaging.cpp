#include "pipeline/GainStaging.h"

// Placeholder until gain staging lands.
int GainStaging::countNonFinite (const juce::AudioBuffer<float>&) { return 0; }
bool GainStaging::checkFinite (const juce::AudioBuffer<float>&, const juce::String&, PipelineResult&, double) { return true; }
float GainStaging::peakLevelDbfs (const juce::AudioBuffer<float>&) { return -144.0f; }
void GainStaging::reportPeak (const juce::AudioBuffer<float>&, const juce::String&) {}
