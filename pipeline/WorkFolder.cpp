#include "pipeline/WorkFolder.h"

#include "common/IntermediateNames.h"
#include "io/AudioFileIO.h"

namespace tessaloom
{

namespace work_folder
{
namespace
{
juce::File workFolderFor (const juce::File& input, const juce::File& output)
{
    // 120 bytes of the name leave room for the prefix and the id within the
    // 255-byte limit of file systems.
    return output.getParentDirectory().getChildFile (juce::String (intermediate_names::workFolderPrefix)
                                                     + safe_files::leadingUtf8Bytes (input.getFileName(), 120) + "_"
                                                     + juce::Uuid().toString().substring (0, 8));
}
} // namespace

WorkFolder::WorkFolder (const juce::File& input, const juce::File& output)
    : folder (workFolderFor (input, output)), inFlight (folder)
{
}

WorkFolder::~WorkFolder()
{
    if (made && ! finished && folder.isDirectory()
        && folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories, "*") == 0)
        folder.deleteFile();
}

bool WorkFolder::ensureExists()
{
    if (! made)
        made = in_flight_files::createDirectory (folder);
    return made;
}

void WorkFolder::finish (const juce::String& keptName, const juce::File& outputFolder)
{
    finished = true;
    if (! made)
        return;
    const auto kept = file (keptName);
    if (keptName.isNotEmpty() && kept.existsAsFile())
        safe_files::renameOver (kept, outputFolder.getChildFile (keptName));
    folder.deleteRecursively();
}
} // namespace work_folder

} // namespace tessaloom
