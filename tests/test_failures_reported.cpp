// A file counts as mastered only when the file on disk is the mastered file,
// whole, at the input's length, rate and channels. These are the ways a run
// could get that wrong without noticing: an intermediate that could not be
// written, a file cut short while it was read, a denoiser result of another
// shape, a side file that could not be written, a disk that stops taking the
// chain's samples. The faults are made real for chosen files only by a small
// library preloaded into the engine (tests/support/io_fault_shim.c).
#include "support/Hardening.h"
#include "support/TestSupport.h"

#include <sys/stat.h>

#include <regex>

using namespace tessaloom;

using namespace testing_support;
using namespace hardening;

namespace
{
std::string path (const juce::File& f) { return f.getFullPathName().toStdString(); }

struct Faults
{
    std::vector<std::string> environment; // NAME=value pairs for the shim
    long addressSpaceBytes = 0;           // 0: no limit
};

// The engine with the shim preloaded and the faults set, through env (and
// prlimit for an address-space limit), so nothing but the engine sees them.
ChildRun runWithFaults (const Faults& faults, const std::vector<std::string>& arguments)
{
    std::vector<std::string> args { std::string ("LD_PRELOAD=") + IO_FAULT_SHIM };
    args.insert (args.end(), faults.environment.begin(), faults.environment.end());
    if (faults.addressSpaceBytes > 0)
    {
        args.push_back ("/usr/bin/prlimit");
        args.push_back ("--as=" + std::to_string (faults.addressSpaceBytes));
    }
    args.push_back (engineExecutable());
    args.insert (args.end(), arguments.begin(), arguments.end());
    return runChild ("/usr/bin/env", args);
}

juce::AudioBuffer<float> speechWithHum (int channels, int frames, double rate)
{
    auto audio = speechLike (channels, frames, rate, 11);
    const auto hum = sine (channels, frames, rate, 50.0, 0.05f);
    for (int c = 0; c < channels; ++c)
        audio.addFrom (c, 0, hum, c, 0, frames);
    return audio;
}

// The output is the input's length, rate and channels, 16-bit.
void expectDeliverable (const juce::File& output, const juce::File& input)
{
    const auto in = readAudio (input);
    const auto out = readAudio (output);
    ASSERT_TRUE (out.ok) << path (output);
    EXPECT_EQ (out.bitsPerSample, 16);
    EXPECT_EQ (out.sampleRate, in.sampleRate);
    EXPECT_EQ (out.buffer.getNumChannels(), in.buffer.getNumChannels());
    EXPECT_EQ (out.buffer.getNumSamples(), in.buffer.getNumSamples());
}

// A failed file: counted and named as failed, and nothing of it in the output folder.
void expectFailedCleanly (const ChildRun& r, const std::string& name, const std::string& reason,
                          const juce::File& outFolder)
{
    EXPECT_EQ (r.exitCode, 2) << r.err;
    EXPECT_EQ (r.out, summaryLine (0, 1)) << r.err;
    EXPECT_TRUE (r.errContains ("[Error] Failed processing " + name + ": " + reason)) << r.err;
    EXPECT_FALSE (r.errContains ("COMPLETE")) << r.err;
    EXPECT_FALSE (outFolder.getChildFile (juce::String (name)).exists());
    EXPECT_TRUE (partialFiles (outFolder).empty());
}
} // namespace

// Without the pre-filtered file the chain would master the raw input, hum and
// rumble included, while the log says they were removed.
TEST (FailuresReported, APreFilteredFileThatCannotBeWrittenFailsTheFile)
{
    struct Case
    {
        const char* label;
        const char* fault;
    };
    const Case cases[] = {
        { "the disk is full", "IO_FAULT_NOSPACE_PATH=_stage0_prefiltered" },
        { "no file descriptor left", "IO_FAULT_NOOPEN_PATH=_stage0_prefiltered" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto input = tmp.file ("hum.wav");
        writeWav (input, speechWithHum (1, 48000 * 3, 48000.0), 48000.0);
        const auto out = tmp.file ("out");

        const auto r = runWithFaults ({ { c.fault } }, { "--input", path (input), "--output",
                                                         path (out.getChildFile ("hum.wav")), "--denoise", "false" });

        expectFailedCleanly (r, "hum.wav", "Pre-filter failed: Failed to ", out);
        EXPECT_TRUE (namesIn (out).isEmpty()) << namesIn (out).joinIntoString (", ")
                                              << ": the work folder held nothing worth keeping";
    }
}

// A file that ends early while it is read must not be mastered with silence in
// place of its end, whichever file of the chain it is.
TEST (FailuresReported, AFileCutShortWhileReadFailsTheFileInEveryPass)
{
    const int frames = 48000 * 3;
    const std::uint64_t halfOfTheSamples = 44 + frames; // 16-bit mono: 2 bytes a frame

    struct Case
    {
        const char* label;
        const char* pathPart;
        std::uint64_t cutAt;
        bool denoise;
        const char* reason;
    };
    const Case cases[] = {
        { "the input", "cut-me.wav", halfOfTheSamples, false, "Failed to read audio file to its end" },
        { "the pre-filtered file", "_stage0_prefiltered.wav", halfOfTheSamples, false, "Failed to read audio file to its end" },
        { "the denoised file", "_stage1_denoised.wav", halfOfTheSamples, true, "Failed to read audio file to its end" },
        { "the chain's own samples", "_chain_spill.f32", (std::uint64_t) frames * 2, false, "Failed to read back the chain's samples" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto input = tmp.file ("cut-me.wav");
        writeWav (input, speechWithHum (1, frames, 48000.0), 48000.0);
        const auto out = tmp.file ("out");
        // A denoiser that hands back its input unchanged, under its own name.
        const auto denoiser = tmp.file ("denoiser.sh");
        denoiser.replaceWithText ("#!/bin/sh\nstem=$(basename \"$1\" .wav)\ncp \"$1\" \"$3/${stem}_DeepFilterNet3.wav\"\n",
                                  false, false, "\n");
        chmod (path (denoiser).c_str(), 0755);

        std::vector<std::string> args { "--input", path (input), "--output", path (out.getChildFile ("cut-me.wav")) };
        if (c.denoise)
            args.insert (args.end(), { "--deepfilter-path", path (denoiser) });
        else
            args.insert (args.end(), { "--denoise", "false" });
        const auto r = runWithFaults ({ { std::string ("IO_FAULT_CUT_PATH=") + c.pathPart,
                                          "IO_FAULT_CUT_AT=" + std::to_string (c.cutAt) } },
                                      args);

        expectFailedCleanly (r, "cut-me.wav", c.reason, out);
        if (c.denoise)
        {
            EXPECT_TRUE (r.errContains ("Engine: DeepFilterNet3")) << "the cut came after the denoiser, not in it";
        }
    }
}

// The output keeps the recording's length, rate and channels, so a denoiser
// result that does not is refused and the audio passes through as for any other
// denoiser failure; a result within a few frames is used at the input's length.
TEST (FailuresReported, ADenoiserResultOfAnotherShapeIsNotUsed)
{
    struct Case
    {
        const char* label;
        const char* soxEffects; // applied by the fake denoiser to its input
        bool used;
    };
    const Case cases[] = {
        { "a second longer", "pad 0 1", false },
        { "mono for stereo", "remix 1", false },
        { "another rate", "rate 44100", false },
        { "half a second shorter", "trim 0 1.5", false },
        { "three frames shorter", "trim 0 95997s", true },
        { "three frames longer", "pad 0 3s", true },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto input = tmp.file ("talk.wav");
        writeWav (input, speechLike (2, 96000, 48000.0, 5), 48000.0);
        const auto out = tmp.file ("out");
        const auto denoiser = tmp.file ("denoiser.sh");
        denoiser.replaceWithText ("#!/bin/sh\nstem=$(basename \"$1\" .wav)\nexec sox \"$1\" \"$3/${stem}_DeepFilterNet3.wav\" "
                                  + juce::String (c.soxEffects) + "\n",
                                  false, false, "\n");
        chmod (path (denoiser).c_str(), 0755);

        const auto r = runEngineExe ({ "--input", path (input), "--output", path (out.getChildFile ("talk.wav")),
                                       "--deepfilter-path", path (denoiser) });

        EXPECT_EQ (r.exitCode, 0) << r.err;
        EXPECT_TRUE (r.errContains (c.used ? "Engine: DeepFilterNet3" : "Engine: None (passthrough)")) << r.err;
        if (! c.used)
        {
            EXPECT_TRUE (r.errContains ("[NoiseReducer] DeepFilterNet3 FAILED: DeepFilterNet3 output ")) << r.err;
        }
        expectDeliverable (out.getChildFile ("talk.wav"), input);
    }
}

// The ASR feed is a side product: a feed that cannot be written is a warning,
// never a line saying it was exported, and the feed of an earlier run stays as
// it was until a complete new one replaces it.
TEST (FailuresReported, AnAsrFeedThatCannotBeWrittenIsSaidAndKeepsTheEarlierOne)
{
    struct Case
    {
        const char* label;
        juce::String stem;
        const char* fault;
    };
    const Case cases[] = {
        { "a name too long for the file system", juce::String::repeatedString ("a", 245), "IO_FAULT_NOSPACE_PATH=none" },
        { "the disk fills while it is written", "talk", "IO_FAULT_NOSPACE_PATH=talk_asr_feed.wav" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto input = tmp.file (c.stem + ".wav");
        writeWav (input, speechLike (1, 48000, 48000.0, 3), 48000.0);
        const auto out = tmp.file ("out");
        out.createDirectory();
        const auto earlierFeed = out.getChildFile ("talk_asr_feed.wav");
        earlierFeed.replaceWithText ("the feed of an earlier run");

        const auto r = runWithFaults ({ { c.fault } }, { "--input", path (input), "--output",
                                                         path (out.getChildFile (c.stem + ".wav")) });

        EXPECT_EQ (r.exitCode, 0) << r.err;
        EXPECT_EQ (r.out, summaryLine (1, 0));
        EXPECT_TRUE (r.errContains ("[AudioPipeline/ASR Hook] WARNING: ASR feed not exported: Failed to copy ")) << r.err;
        EXPECT_FALSE (r.errContains ("Exported ASR feed")) << r.err;
        EXPECT_EQ (earlierFeed.loadFileAsString(), "the feed of an earlier run");
        expectDeliverable (out.getChildFile (c.stem + ".wav"), input);
        EXPECT_TRUE (partialFiles (out).empty());
    }
}

// When the work folder's disk stops taking the chain's samples they are held
// in memory, said in the log, and bounded: past the bound (a sixteenth of the
// memory the process may use, here 200 MB) the file fails instead of growing.
TEST (FailuresReported, ASpillTheDiskRefusesIsHeldInMemoryUpToABound)
{
    struct Case
    {
        const char* label;
        int channels, seconds;
        bool fits;
    };
    const Case cases[] = {
        { "10 s of mono: 1.9 MB", 1, 10, true },
        { "60 s of stereo: 23 MB", 2, 60, false },
    };
    if (builtWithSanitizer())
        GTEST_SKIP() << "a sanitizer reserves more address space than the limit this test sets";
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto input = tmp.file ("take.wav");
        writeWav (input, speechLike (c.channels, 48000 * c.seconds, 48000.0, 4), 48000.0);
        const auto out = tmp.file ("out");

        const auto r = runWithFaults ({ { "IO_FAULT_NOSPACE_PATH=_chain_spill.f32" }, 200L * 1024 * 1024 },
                                      { "--input", path (input), "--output", path (out.getChildFile ("take.wav")),
                                        "--denoise", "false" });

        EXPECT_TRUE (r.errContains ("[AudioPipeline] WARNING: The work folder takes no more samples (disk full?); the "
                                    "chain's samples are held in memory, at most 12 MB: "))
            << r.err;
        if (c.fits)
        {
            EXPECT_EQ (r.exitCode, 0) << r.err;
            expectDeliverable (out.getChildFile ("take.wav"), input);
        }
        else
        {
            expectFailedCleanly (r, "take.wav", "The work folder takes no more samples and the chain's samples (21 MB) "
                                                "would not fit in the 12 MB of memory a file may use instead",
                                 out);
        }
    }
}

// The level pass writes its limited samples back over the spill, in place. When
// the disk stops taking them partway (a full file system that copies on write),
// the rest is held in memory and the output and log are those of a run without
// the fault; when the rest passes the bound, the file fails and leaves nothing.
TEST (FailuresReported, LimitedSamplesTheDiskStopsTakingAreHeldInMemoryUpToABound)
{
    struct Case
    {
        const char* label;
        int channels, seconds;
        long long refusedFrom; // bytes of the spill
        bool fits;
    };
    const Case cases[] = {
        { "10 s of mono, refused from the start: 1.9 MB", 1, 10, 0, true },
        { "60 s of stereo, refused past 16 MB: 7 MB left", 2, 60, 16L << 20, true },
        { "60 s of stereo, refused from the start: 23 MB", 2, 60, 0, false },
    };
    if (builtWithSanitizer())
        GTEST_SKIP() << "a sanitizer reserves more address space than the limit this test sets";
    const auto withoutTimes = [] (const std::string& log)
    { return std::regex_replace (log, std::regex ("[0-9.]+ ?ms"), "ms"); };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.label);
        TempFolder tmp;
        const auto input = tmp.file ("take.wav");
        writeWav (input, speechLike (c.channels, 48000 * c.seconds, 48000.0, 4), 48000.0);
        const auto out = tmp.file ("out"), clean = tmp.file ("clean.wav");
        out.createDirectory();
        // The same run without the fault, its output then moved aside: the same names in both logs.
        const auto reference = runWithFaults ({ {}, 200L * 1024 * 1024 },
                                              { "--input", path (input), "--output", path (out.getChildFile ("take.wav")),
                                                "--denoise", "false" });
        ASSERT_EQ (reference.exitCode, 0) << reference.err;
        ASSERT_TRUE (out.getChildFile ("take.wav").moveFileTo (clean));

        const auto r = runWithFaults ({ { "IO_FAULT_REWRITE_NOSPACE_PATH=_chain_spill.f32",
                                          "IO_FAULT_REWRITE_NOSPACE_FROM=" + std::to_string (c.refusedFrom) },
                                        200L * 1024 * 1024 },
                                      { "--input", path (input), "--output", path (out.getChildFile ("take.wav")),
                                        "--denoise", "false" });
        if (c.fits)
        {
            EXPECT_EQ (r.exitCode, 0) << r.err;
            EXPECT_TRUE (out.getChildFile ("take.wav").hasIdenticalContentTo (clean));
            EXPECT_EQ (withoutTimes (r.err), withoutTimes (reference.err));
            EXPECT_EQ (r.out, reference.out);
        }
        else
        {
            expectFailedCleanly (r, "take.wav", "The work folder takes no more samples and the chain's samples (21 MB) "
                                                "would not fit in the 12 MB of memory a file may use instead",
                                 out);
        }
    }
}

// A file that fails leaves nothing that could pass for a product of it: no ASR
// feed copied from a file that is not audio, no empty work folder.
TEST (FailuresReported, AFailedFileLeavesNoFeedAndNoEmptyWorkFolder)
{
    TempFolder tmp;
    const auto in = tmp.file ("in");
    in.createDirectory();
    writeWav (in.getChildFile ("good.wav"), speechLike (1, 24000, 48000.0, 2), 48000.0);
    in.getChildFile ("notes.wav").replaceWithText ("not audio, only notes");
    in.getChildFile ("empty.wav").create();
    ASSERT_EQ (symlink (path (tmp.file ("nowhere.wav")).c_str(), path (in.getChildFile ("dangling.wav")).c_str()), 0);
    const auto out = tmp.file ("out");

    const auto r = runEngineExe ({ "--input-dir", path (in), "--output-dir", path (out) });

    EXPECT_EQ (r.exitCode, 2) << r.err;
    EXPECT_EQ (r.out, summaryLine (1, 3));
    EXPECT_EQ (namesIn (out), (juce::StringArray { "_stage0_prefiltered.wav", "good.wav", "good_asr_feed.wav" }));
}
