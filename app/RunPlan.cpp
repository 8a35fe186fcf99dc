#include "app/RunPlan.h"

#include "common/IntermediateNames.h"
#include "io/CodecFiles.h"

#include <filesystem>

namespace tessaloom
{

namespace run_plan
{
juce::File outputFor (const CommandLineOptions& options, const juce::File& input)
{
    if (options.outputDir == juce::File())
        return options.outputFile;
    const auto& format = options.config.outputFormat;
    if (format.codec == OutputCodec::wav && input.hasFileExtension ("wav"))
        return options.outputDir.getChildFile (input.getFileName());
    return options.outputDir.getChildFile (input.getFileNameWithoutExtension() + extensionFor (format.codec));
}

juce::String asrFeedName (const juce::File& input)
{
    return input.getFileNameWithoutExtension() + intermediate_names::asrFeedSuffix;
}

bool sameLocation (const juce::File& a, const juce::File& b)
{
    if (a == b)
        return true;
    std::error_code ec;
    const bool same = std::filesystem::equivalent (a.getFullPathName().toStdString(),
                                                   b.getFullPathName().toStdString(), ec);
    return ! ec && same;
}

bool isIntermediateName (const juce::String& fileName)
{
    for (auto* name : intermediate_names::all)
        if (fileName.equalsIgnoreCase (name))
            return true;
    return false;
}

juce::StringArray Plan::claimedNames() const
{
    juce::StringArray names;
    for (const auto& item : items)
    {
        names.addIfNotAlreadyThere (item.output.getFileName());
        if (item.asrFeed != juce::File())
            names.addIfNotAlreadyThere (item.asrFeed.getFileName());
    }
    return names;
}

Plan make (const CommandLineOptions& options, const juce::Array<juce::File>& inputs)
{
    Plan plan;
    plan.batch = options.inputDir != juce::File();
    plan.outputFolder = options.outputDir != juce::File() ? options.outputDir : options.outputFile.getParentDirectory();
    const bool besides = ! options.config.outputsOnly;
    if (besides)
        plan.prefiltered = plan.outputFolder.getChildFile (intermediate_names::prefiltered);
    for (const auto& input : inputs)
        plan.items.push_back ({ input, outputFor (options, input),
                                besides && options.config.denoise ? plan.outputFolder.getChildFile (asrFeedName (input))
                                                                  : juce::File() });
    plan.report = options.reportFile;
    plan.page = options.reportHtmlFile;
    return plan;
}
} // namespace run_plan

} // namespace tessaloom
