#include "pipeline/steps/Steps.h"

#include "analysis/AnalysisLog.h"
#include "pipeline/Delivery.h"

namespace tessaloom
{

// The list of the chain's steps and what every row shares: when a step runs,
// its header line, and the report's settings object over every step's record.

namespace steps
{
namespace
{
bool switchedOn (Switch s, const PipelineConfig& config)
{
    switch (s)
    {
        case Switch::eq:         return config.eq;
        case Switch::compressor: return config.compressor;
        case Switch::none:       break;
    }
    return true;
}
} // namespace

const std::vector<Shaping>& shapingSteps()
{
    static const std::vector<Shaping> steps { preGain, deEsser, expander, vocalEq, leveler, saturation };
    return steps;
}

bool bypassed (const Row& row, const PipelineConfig& config)
{
    return config.bypasses (row.bypassNumber);
}

bool runs (const Row& row, const PipelineConfig& config)
{
    return switchedOn (row.switchedBy, config) && ! (bypassed (row, config) && row.whenBypassed == WhenBypassed::skip);
}

void logHeader (const Row& row, const PipelineConfig& config)
{
    if (runs (row, config) || row.headerPrinted == Header::always)
        juce::Logger::writeToLog ("[AudioPipeline] "
                                  + juce::String (row.header)
                                        .replace ("{target}", juce::String (config.targetLufs, 1))
                                        .replace ("{ceiling}", juce::String (delivery::finishAimOf (config).ceilingDbtp, 1))
                                        .replace ("{voice}", config.voiceType));
}

juce::StringArray analysisLines (const Analysis& a)
{
    auto lines = analysis_log::openingLines (a.result);
    lines.addArray (analysis_log::measurementLines (a.measurements));
    lines.addArray (analysis_log::closingLines (a.result));
    return lines;
}

ReportKeys& ReportKeys::json (const char* key, const juce::String& value)
{
    written << (written.isEmpty() ? "{" : ",") << "\"" << key << "\":" << value;
    return *this;
}

ReportKeys& ReportKeys::number (const char* key, std::optional<double> value)
{
    return json (key, value ? juce::String (*value, 3) : juce::String ("null"));
}

ReportKeys& ReportKeys::text (const char* key, const juce::String& value)
{
    return json (key, quote (value));
}

juce::String ReportKeys::close() const
{
    return written.isEmpty() ? juce::String ("{}") : written + "}";
}

juce::String settingsJson (const PipelineConfig& config, const AutoMapParameters& mapping,
                           const ChainSettings& s, ReportKeys::Quote quote)
{
    ReportKeys keys (quote);
    keys.json ("chainRan", s.ran ? "true" : "false");
    keys.number ("denoiseAttenuationLimitDb", config.denoise ? std::optional<double> (mapping.df3AttenLimitDb) : std::nullopt);
    s.preGain.addKeys (keys);
    s.deEsser.addKeys (keys);
    s.expander.addKeys (keys);
    s.vocalEq.addKeys (keys);
    s.leveler.addKeys (keys);
    s.saturation.addKeys (keys);
    s.normalization.addKeys (keys, s.ran);
    s.limiter.addKeys (keys);
    keys.text ("finish", config.finish == Finish::loudness ? "loudness" : "peak-trim");
    s.loudnessFinish.addKeys (keys);
    return keys.close();
}
} // namespace steps

} // namespace tessaloom
