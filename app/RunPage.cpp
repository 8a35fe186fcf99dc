#include "app/RunPage.h"

#include "app/RunPlan.h"
#include "io/PathKind.h"

#include <fcntl.h>
#include <unistd.h>

namespace tessaloom
{

namespace run_page
{
namespace
{
// Whether a file can be made in the folder, found by making one and removing
// it: permission bits say nothing to root, nor about a read-only mount.
bool folderTakesAFile (const juce::File& folder)
{
    const auto probe = folder.getChildFile (".tessaloom-write-test-" + juce::Uuid().toString().substring (0, 12));
    const int fd = ::open (probe.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close (fd);
    ::unlink (probe.getFullPathName().toRawUTF8());
    return true;
}

// The page's folder must take a file when the batch ends; the output folder
// counts as there, since the run makes it.
bool canBeWritten (const CommandLineOptions& options)
{
    const auto& page = options.reportHtmlFile;
    const auto folder = page.getParentDirectory();
    if (page.isDirectory())
        return false;
    if (const auto behind = pathKindBehind (page); behind == PathKind::device || behind == PathKind::pipe)
        return true; // written through, not beside
    if (folder.isDirectory())
        return folderTakesAFile (folder);
    const auto made = options.outputDir != juce::File() ? options.outputDir : options.outputFile.getParentDirectory();
    return run_plan::sameLocation (folder, made) || folder == made;
}
} // namespace

Outcome writable (const CommandLineOptions& options)
{
    if (options.reportHtmlFile == juce::File() || canBeWritten (options))
        return Outcome::success();
    return Outcome::failure ("Failed to create report page: " + options.reportHtmlFile.getFullPathName());
}

Outcome write (const juce::File& page, const ReportLines& lines)
{
    if (auto written = writeReportPage (page, lines.all()); ! written.ok())
    {
        juce::Logger::writeToLog ("[System] ERROR: " + written.message);
        return written;
    }
    juce::Logger::writeToLog ("[System] Report page written: " + page.getFullPathName());
    return Outcome::success();
}
} // namespace run_page

} // namespace tessaloom
