#pragma once

#include "io/InFlightFiles.h"

#include <juce_core/juce_core.h>

namespace tessaloom
{

namespace work_folder
{
// The private folder one file's intermediate files live in, beside the output,
// so files processed at the same time into one folder never share them. The
// name says which input the folder belongs to. It is made only when something
// is written into it; while the file is being worked on it counts as in flight
// (an interrupted run removes it). A failed file leaves it in place for
// inspection; a finished one moves its kept product beside the output and
// deletes the rest.
class WorkFolder
{
public:
    WorkFolder (const juce::File& input, const juce::File& output);

    // Left unfinished (the file failed), the folder is removed when it holds no
    // file, so only a folder with something to look at stays behind.
    ~WorkFolder();

    // Creates the folder if it is not there yet; false when it cannot be made.
    bool ensureExists();

    juce::File file (const juce::String& name) const { return folder.getChildFile (name); }
    const juce::File& location() const { return folder; }

    // Moves the named file (when it was written; none when the name is empty) into outputFolder, over any
    // file of that name, then deletes the folder with what is left in it.
    // Does nothing when the folder was never made.
    void finish (const juce::String& keptName, const juce::File& outputFolder);

private:
    juce::File folder;
    in_flight_files::Scope inFlight;
    bool made = false, finished = false;
};
} // namespace work_folder

} // namespace tessaloom
