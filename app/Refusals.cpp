#include "app/Refusals.h"

#include "common/IntermediateNames.h"
#include "io/FolderClaim.h"
#include "io/PathKind.h"

#include <map>

namespace tessaloom
{

namespace refusals
{
namespace
{
using run_plan::isIntermediateName;
using run_plan::Plan;
using run_plan::sameLocation;

Outcome refused (const juce::String& why)
{
    return Outcome::failure (why);
}

// The name under which a file name is compared with the names the run gives
// its own files. The listing matches those without regard to case, and an
// output folder on a file system that ignores case (a memory card, a drive
// shared with other systems) holds one file for both spellings.
juce::String nameKey (const juce::String& fileName)
{
    return fileName.toLowerCase();
}

// Two names in byte order, whatever order the listing gave.
juce::String twoInputs (const juce::File& a, const juce::File& b)
{
    auto one = a.getFileName(), other = b.getFileName();
    if (other.compare (one) < 0)
        std::swap (one, other);
    return "Input files " + one + " and " + other;
}

Outcome ofFolders (const CommandLineOptions& options, const Plan& plan)
{
    if (! plan.batch)
        return {};
    if (options.outputDir != juce::File() && sameLocation (options.inputDir, options.outputDir))
        return refused ("Output directory is the input directory; every output would replace its input: "
                        + options.outputDir.getFullPathName());
    if (options.outputDir == juce::File() && plan.items.size() > 1)
        return refused ("Batch of " + juce::String ((int) plan.items.size())
                        + " files needs --output-dir; every file would be written to the same output: "
                        + options.outputFile.getFullPathName());
    return {};
}

Outcome ofOutputs (const Plan& plan)
{
    const auto& report = plan.report;
    for (const auto& [input, output, feed] : plan.items)
    {
        if (sameLocation (input, output))
            return refused ("Output file is the input file; the input would be overwritten: " + input.getFullPathName());

        // The output is renamed into place, which would swap a device, a pipe
        // or a link for a regular file; a folder would keep it from being written.
        if (const auto kind = pathKindAt (output); kind != PathKind::nothing && kind != PathKind::file)
            return refused ("Output file is " + describePathKind (kind) + ", not a file; it would be replaced: "
                            + output.getFullPathName());

        if (report != juce::File() && sameLocation (report, input))
            return refused ("Report file is an input file; the input would be overwritten: " + report.getFullPathName());
        if (report != juce::File() && sameLocation (report, output))
            return refused ("Report file is an output file; the output would overwrite it: " + report.getFullPathName());
    }
    return {};
}

// A report or page the folder's listing would pick up would be mastered by the next run of the same command.
bool takenAsInput (const CommandLineOptions& options, const Plan& plan, const juce::File& file)
{
    return plan.batch && sameLocation (file.getParentDirectory(), options.inputDir) && file.hasFileExtension ("wav")
           && ! isIntermediateName (file.getFileName());
}

// The page is written last, over whatever lies at its path: nothing of the run may lie there.
Outcome ofPage (const CommandLineOptions& options, const Plan& plan)
{
    const auto& page = plan.page;
    if (page == juce::File())
        return {};
    // A device or a pipe (also through a link, as /dev/stdout) is written
    // through; a link to a file or to nothing would itself be replaced by the page.
    const auto kind = pathKindAt (page);
    const auto behind = pathKindBehind (page);
    if (kind == PathKind::link && behind != PathKind::device && behind != PathKind::pipe)
        return refused ("Report page is a symbolic link; the page would replace the link, not what it points to: "
                        + page.getFullPathName());
    if (kind == PathKind::blockDevice || kind == PathKind::socket || kind == PathKind::unknown)
        return refused ("Report page is " + describePathKind (kind) + ", not a file: " + page.getFullPathName());

    for (const auto& item : plan.items)
    {
        if (sameLocation (page, item.input))
            return refused ("Report page is an input file; the input would be overwritten: " + page.getFullPathName());
        if (sameLocation (page, item.output))
            return refused ("Report page is an output file; the output would overwrite it: " + page.getFullPathName());
    }
    if (plan.report != juce::File() && sameLocation (page, plan.report))
        return refused ("Report page is the report file: " + page.getFullPathName());
    if (takenAsInput (options, plan, page))
        return refused ("Report page would be taken as an input of the batch: " + page.getFullPathName());
    return {};
}

// ---- Names in the output folder ------------------------------------------------
// Besides its outputs, a run writes into the output folder the pre-filtered
// file and (with noise reduction on) one ASR feed per input. None of those may
// land on an output, an input or the report: the later write would replace the
// earlier, and the run would still call both a success.

// The names written beside the outputs, by nameKey, each with the input it
// belongs to (none for the pre-filtered file). With --outputs-only there are
// none: only the outputs land in the folder.
using BesideNames = std::map<juce::String, juce::File>;

BesideNames besideNames (const Plan& plan)
{
    BesideNames names;
    if (plan.prefiltered != juce::File())
        names.emplace (nameKey (plan.prefiltered.getFileName()), juce::File());
    for (const auto& item : plan.items)
        if (item.asrFeed != juce::File())
            names.emplace (nameKey (item.asrFeed.getFileName()), item.input);
    return names;
}

// Two inputs whose names differ only in their extension (a.wav, a.WAV) have
// one feed name; with --all-formats (a.wav, a.mp3) they have one output too.
Outcome ofSharedNames (const Plan& plan)
{
    std::map<juce::String, juce::File> feedOwners, outputOwners;
    for (const auto& item : plan.items)
        if (item.asrFeed != juce::File())
            if (const auto [owner, added] = feedOwners.emplace (item.asrFeed.getFileName(), item.input); ! added)
                return refused (twoInputs (owner->second, item.input) + " have one ASR feed; both would be written to one file: "
                                + item.asrFeed.getFullPathName());
    for (const auto& item : plan.items)
        if (const auto [owner, added] = outputOwners.emplace (item.output.getFileName(), item.input); ! added)
            return refused (twoInputs (owner->second, item.input)
                            + " have one output name; both would be written to one file: " + item.output.getFullPathName());
    return {};
}

// A file written beside the outputs is renamed into place: a folder, a
// device, a pipe or a link at its name would be replaced, or (a folder) keep
// the file from being written at all.
Outcome ofBesidePlaces (const Plan& plan, const BesideNames& beside)
{
    for (const auto& [key, owner] : beside)
    {
        const auto file = plan.outputFolder.getChildFile (owner == juce::File() ? juce::String (intermediate_names::prefiltered)
                                                                                : run_plan::asrFeedName (owner));
        if (const auto kind = pathKindAt (file); kind != PathKind::nothing && kind != PathKind::file)
            return refused ("The place of a file written beside the outputs is taken by " + describePathKind (kind) + ": "
                            + file.getFullPathName());
    }
    return {};
}

// The run's lock file lives in the output folder for as long as the run.
bool isLockFile (const Plan& plan, const juce::File& f)
{
    return nameKey (f.getFileName()) == nameKey (FolderClaim::kFileName) && sameLocation (f.getParentDirectory(), plan.outputFolder);
}

Outcome ofOutputNames (const Plan& plan, const BesideNames& beside)
{
    for (const auto& [input, output, feed] : plan.items)
    {
        const auto name = output.getFileName();
        if (plan.prefiltered != juce::File() && nameKey (name) == nameKey (intermediate_names::prefiltered))
            return refused ("Output file has the name of the pre-filtered file written beside it; the output would be "
                            "replaced by it: " + output.getFullPathName());
        if (isIntermediateName (name))
            return refused ("Output file has the name of an intermediate file of the run: " + output.getFullPathName());
        if (isLockFile (plan, output))
            return refused ("Output file has the name of the run's lock file: " + output.getFullPathName());
        if (const auto owner = beside.find (nameKey (name)); owner != beside.end())
            return refused ("Output file has the name of the ASR feed of " + owner->second.getFileName()
                            + "; both would be written to one file: " + output.getFullPathName());
        if (beside.count (nameKey (input.getFileName())) > 0 && sameLocation (input.getParentDirectory(), plan.outputFolder))
            return refused ("Input file has the name of a file written beside the output; the input would be replaced: "
                            + input.getFullPathName());
    }
    return {};
}

Outcome ofReportNames (const Plan& plan, const BesideNames& beside)
{
    const auto& report = plan.report;
    if (report != juce::File() && isLockFile (plan, report))
        return refused ("Report file has the name of the run's lock file: " + report.getFullPathName());
    if (plan.page != juce::File() && isLockFile (plan, plan.page))
        return refused ("Report page has the name of the run's lock file: " + plan.page.getFullPathName());
    if (report != juce::File() && beside.count (nameKey (report.getFileName())) > 0
        && sameLocation (report.getParentDirectory(), plan.outputFolder))
        return refused ("Report file has the name of a file written beside the outputs; the report would be replaced by "
                        "a WAV file: " + report.getFullPathName());
    return {};
}

Outcome ofNameClashes (const Plan& plan)
{
    if (auto shared = ofSharedNames (plan); ! shared.ok())
        return shared;
    const auto beside = besideNames (plan);
    if (auto places = ofBesidePlaces (plan, beside); ! places.ok())
        return places;
    if (auto outputs = ofOutputNames (plan, beside); ! outputs.ok())
        return outputs;
    return ofReportNames (plan, beside);
}
} // namespace

Outcome ofMastering (const CommandLineOptions& options, const run_plan::Plan& plan)
{
    if (auto folders = ofFolders (options, plan); ! folders.ok())
        return folders;
    if (auto outputs = ofOutputs (plan); ! outputs.ok())
        return outputs;
    if (plan.report != juce::File() && takenAsInput (options, plan, plan.report))
        return refused ("Report file would be taken as an input of the batch: " + plan.report.getFullPathName());
    if (auto page = ofPage (options, plan); ! page.ok())
        return page;
    return ofNameClashes (plan);
}

Outcome ofCheck (const CommandLineOptions& options, const juce::Array<juce::File>& inputs)
{
    const auto& report = options.reportFile;
    const auto& page = options.reportHtmlFile;
    for (const auto& input : inputs)
    {
        if (report != juce::File() && sameLocation (report, input))
            return refused ("Report file is an input file; the input would be overwritten: " + report.getFullPathName());
        if (page != juce::File() && sameLocation (page, input))
            return refused ("Report page is an input file; the input would be overwritten: " + page.getFullPathName());
    }
    if (report != juce::File() && page != juce::File() && sameLocation (page, report))
        return refused ("Report page is the report file: " + page.getFullPathName());
    return {};
}

Outcome ofRender (const CommandLineOptions& options)
{
    const auto& page = options.reportHtmlFile;
    for (const auto& report : options.renderReports)
        if (sameLocation (page, report))
            return refused ("Report page is a report file; the report would be overwritten: " + page.getFullPathName());
    return {};
}
} // namespace refusals

} // namespace tessaloom
