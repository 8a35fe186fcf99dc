#include "app/InputListing.h"

#include "app/RunPlan.h"
#include "io/CodecFiles.h"
#include "io/NativeNames.h"
#include "io/PathKind.h"

#include <dirent.h>

namespace tessaloom
{

namespace
{
// The *.wav files (links to files included) of a folder whose names are not
// UTF-8, as JUCE's listing would take them: the extension in any case.
juce::Array<juce::File> inputsNamedInBytes (const juce::File& folder)
{
    juce::Array<juce::File> found;
    auto* dir = ::opendir (native_names::toNativeBytes (folder.getFullPathName()).c_str());
    if (dir == nullptr)
        return found;
    while (const auto* entry = ::readdir (dir))
    {
        const auto name = native_names::fromNativeBytes (entry->d_name);
        if (! native_names::hasEscapedBytes (name))
            continue;
        const auto file = folder.getChildFile (name);
        if (file.hasFileExtension ("wav") && pathKindBehind (file) == PathKind::file)
            found.add (file);
    }
    ::closedir (dir);
    return found;
}

// The other formats the engine reads: taken with --all-formats, else counted and said.
void addOtherFormats (const CommandLineOptions& options, juce::Array<juce::File>& files)
{
    int skipped = 0;
    for (auto& f : options.inputDir.findChildFiles (juce::File::findFiles, false, "*", juce::File::FollowSymlinks::yes))
        if (otherAudioExtensions().contains (f.getFileExtension().fromFirstOccurrenceOf (".", false, false).toLowerCase()))
        {
            if (options.allFormats)
                files.add (f);
            else
                ++skipped;
        }
    if (options.allFormats)
        files.sort();
    if (skipped > 0)
        juce::Logger::writeToLog ("[System] Skipped " + juce::String (skipped) + " audio file" + (skipped == 1 ? "" : "s")
                                  + " that " + (skipped == 1 ? "is" : "are")
                                  + " not WAV (MP3, M4A, Ogg, Opus, FLAC or AIFF); --all-formats takes them too.");
}
} // namespace

juce::Array<juce::File> collectInputFiles (const CommandLineOptions& options)
{
    juce::Array<juce::File> files;

    if (options.inputDir == juce::File())
    {
        files.add (options.inputFile);
        return files;
    }

    // JUCE takes every name for UTF-8: one that is not is a String JUCE cannot
    // work with (names made from it come out broken). Those are taken from the
    // folder's own listing instead, carried as io/NativeNames.h says.
    for (auto& f : options.inputDir.findChildFiles (juce::File::findFiles, false, "*.wav",
                                                    juce::File::FollowSymlinks::yes))
        if (! run_plan::isIntermediateName (f.getFileName()) && native_names::isValidUtf8 (f.getFileName().toRawUTF8()))
            files.add (f);
    for (const auto& f : inputsNamedInBytes (options.inputDir))
        files.add (f);

    addOtherFormats (options, files);
    return files;
}

} // namespace tessaloom
