#include "pipeline/AudioPipeline.h"

#include "analysis/AudioAnalyzer.h"
#include "common/IntermediateNames.h"
#include "io/AudioFileIO.h"
#include "pipeline/AutoMap.h"
#include "pipeline/GainStaging.h"
#include "io/InFlightFiles.h"
#include "common/Levels.h"
#include "tools/NoiseReducer.h"

namespace
{
const juce::String ruleLine ("========================================");
const juce::String prefilteredName (intermediate_names::prefiltered);
const juce::String denoisedName (intermediate_names::denoised);

void log (const juce::String& message)
{
    juce::Logger::writeToLog (message);
}

juce::String onOff (bool value)
{
    return value ? "ON" : "OFF";
}

double nowMs()
{
    return juce::Time::getMillisecondCounterHiRes();
}

// Every call keeps its intermediate files in a folder of its own beside the
// output, so files processed at the same time into one folder never share
// them. The name says which input the folder belongs to; it is left in place
// when the call fails, for inspection.
juce::File makeWorkFolder (const juce::File& input, const juce::File& output)
{
    return output.getParentDirectory().getChildFile (juce::String (intermediate_names::workFolderPrefix) + leadingUtf8Bytes (input.getFileName(), 120) + "_"
                                                     + juce::Uuid().toString().substring (0, 8));
}
} // namespace

PipelineResult AudioPipeline::processFile (const juce::File& input, const juce::File& output,
                                           const PipelineConfig& config)
{
    PipelineResult result;
    const double startMs = nowMs();
    auto elapsed = [startMs] { return nowMs() - startMs; };

    const auto outputFolder = output.getParentDirectory();
    const auto workFolder = makeWorkFolder (input, output);
    const InFlightFiles::Scope workInFlight (workFolder);
    bool workFolderMade = false;
    auto ensureWorkFolder = [&]
    {
        if (! workFolderMade)
            workFolderMade = workFolder.createDirectory().wasOk();
        return workFolderMade;
    };

    auto currentFile = input;
    juce::File inputCopy; // the input's copy inside the work folder, when one was made

    log (ruleLine);
    log ("[AudioPipeline] Processing: " + input.getFullPathName());
    log ("[AudioPipeline] Denoise=" + onOff (config.denoise) + " Compressor=" + onOff (config.compressor)
         + " EQ=" + onOff (config.eq) + " Voice=" + config.voiceType);

    AutoMapParameters params;

    // One working buffer for both reads of the file: the in-memory chain reads
    // into the allocation that Pass 1 used.
    AudioReadResult audio;

    // ---- Pass 1: analysis of the input, mapping, pre-filter -----------------
    log ("[AudioPipeline] Pass 1: Offline Analysis");
    {
        readAudioFile (input, audio);
        auto& pass1 = audio;
        if (! pass1.ok())
        {
            log ("[AudioPipeline] WARNING: Could not read input for Pass 1 analysis");
        }
        else
        {
            // The chain reads the 16-bit intermediate, where NaN and infinity would
            // already have become full-scale clicks; such a file is stopped here.
            if (! GainStaging::checkFinite (pass1.buffer, "File Load", result, startMs))
                return result;

            const auto analysis = AudioAnalyzer::analyze (pass1.buffer, pass1.sampleRate);
            result.analysisJson = AudioAnalyzer::toJson (analysis);
            params = AutoMap::fromAnalysis (analysis);

            log ("[AudioPipeline] Stage 1.5: Pre-Filtering (HPF & Grid Hum)");
            applyPreFilter (pass1.buffer, pass1.sampleRate, analysis.hasGridHum);

            // A failed intermediate write is silent: the chain carries on from the input.
            if (ensureWorkFolder())
            {
                const auto prefiltered = workFolder.getChildFile (prefilteredName);
                if (writeWav16Atomically (prefiltered, pass1.buffer, pass1.sampleRate).isEmpty())
                    currentFile = prefiltered;
            }
        }
    }

    // The outside denoiser gets the memory back while it runs.
    if (config.denoise)
        audio = AudioReadResult();

    // ---- Stage 1: noise reduction ------------------------------------------
    if (! config.denoise)
    {
        result.denoiseEngine = "Skipped";
    }
    else
    {
        log ("[AudioPipeline] Stage 1: Noise Reduction");

        // The reducer writes beside its input; it only ever gets a file inside
        // the work folder, so nothing lands in the input's folder.
        auto reducerInput = currentFile;
        if (reducerInput == input && ensureWorkFolder())
        {
            const auto copy = workFolder.getChildFile (input.getFileName());
            if (copyFileAtomically (input, copy).isEmpty()) // never blocks on a pipe or copies a device
            {
                reducerInput = copy;
                inputCopy = copy;
            }
        }

        const bool reducerInputSafe = reducerInput != input;
        NoiseReductionResult nr;
        if (reducerInputSafe && ensureWorkFolder())
        {
            NoiseReducerConfig nrConfig;
            nrConfig.deepFilterPath = config.deepFilterPath;
            nrConfig.ffmpegPath = config.ffmpegPath;
            nrConfig.targetSampleRate = 48000;
            nrConfig.attenuationLimitDb = params.df3AttenLimitDb;
            nr = NoiseReducer::process (reducerInput.getFullPathName(),
                                        workFolder.getChildFile (denoisedName).getFullPathName(), nrConfig);
        }

        const auto nrOutput = nr.outputPath.isNotEmpty() ? juce::File (nr.outputPath) : juce::File();
        if (nr.success && nrOutput.existsAsFile())
        {
            currentFile = nrOutput;
            switch (nr.engine)
            {
                case NoiseReductionEngine::DeepFilterNet3: result.denoiseEngine = "DeepFilterNet3"; break;
                case NoiseReductionEngine::Passthrough:    result.denoiseEngine = "None (passthrough)"; break;
                default:                                   result.denoiseEngine = {}; break;
            }
            log ("[AudioPipeline] Denoise complete. Engine: " + result.denoiseEngine);

            const auto feed = outputFolder.getChildFile (input.getFileNameWithoutExtension() + intermediate_names::asrFeedSuffix);
            feed.deleteFile();
            copyFileAtomically (currentFile, feed);
            log ("[AudioPipeline/ASR Hook] Exported ASR feed to: " + feed.getFileName());
        }
        else
        {
            result.denoiseEngine = "Failed";
            log (juce::String::fromUTF8 ("[AudioPipeline] WARNING: Denoise failed \xe2\x80\x94 continuing with original audio"));
        }
    }

    // ---- The in-memory chain ---------------------------------------------
    if (config.compressor || config.eq)
    {
        readAudioFile (currentFile, audio);
        auto& loaded = audio;
        if (! loaded.ok())
        {
            result.errorMessage = loaded.status == AudioReadResult::Status::tooLong
                                      ? loaded.message
                                      : "Failed to read audio file for DSP processing: "
                                            + (currentFile == inputCopy ? input : currentFile).getFullPathName();
            result.processingTimeMs = elapsed();
            return result;
        }

        auto& buffer = loaded.buffer;
        const double sampleRate = loaded.sampleRate;
        const int channels = buffer.getNumChannels();
        const int length = buffer.getNumSamples();
        const float target = config.targetLufs;
        const int bypass = config.bypassStage;

        auto checkFinite = [&] (const juce::String& label)
        { return GainStaging::checkFinite (buffer, label, result, startMs); };
        auto reportPeak = [&] (const juce::String& label) { GainStaging::reportPeak (buffer, label); };
        auto checkAndReport = [&] (const juce::String& checkLabel, const juce::String& reportLabel)
        {
            if (! checkFinite (checkLabel))
                return false;
            reportPeak (reportLabel);
            return true;
        };

        if (! checkFinite ("File Load"))
            return result;
        log ("[AudioPipeline] Loaded audio: " + juce::String (channels) + "ch, " + juce::String (sampleRate) + "Hz, "
             + juce::String (length) + " samples ("
             + juce::String (sampleRate > 0.0 ? (double) length / sampleRate : 0.0, 2) + "s)");
        reportPeak ("File Load");

        // Row 1: pre-gain leveling; its analysis re-references the dynamics thresholds.
        log ("[AudioPipeline] Stage 1.6: Pre-Gain Leveling (Target: " + juce::String (target, 1) + " LUFS)");
        const auto second = applyPreGainLeveling (buffer, sampleRate, target, bypass);
        if (! checkAndReport ("PreGain", "PreGain"))
            return result;

        // Row 2: de-esser.
        log ("[AudioPipeline] Stage 1.7: Dynamic De-esser");
        if (bypass != 2)
            applyDeEsser (buffer, sampleRate, AutoMap::deEsserThreshold (target, second));
        if (! checkAndReport ("De-esser", "De-esser"))
            return result;

        // Row 3: expander (no bypass number).
        log ("[AudioPipeline] Stage 1.8: Downward Expander");
        applyExpander (buffer, sampleRate,
                       AutoMap::expanderThreshold (target, second, params.expanderThresholdDb, bypass));
        if (! checkAndReport ("Expander", "Expander"))
            return result;

        // Row 4: vocal EQ.
        if (config.eq && bypass != 3)
        {
            log ("[AudioPipeline] Stage 3: Corrective & Enhancement EQ (" + config.voiceType + ")");
            applyVocalEQ (buffer, sampleRate, config.voiceType, params.airShelfDb, params.presenceDb, params.mudCutDb);
        }
        if (! checkAndReport ("Vocal EQ", "Corrective/Enhancement EQ"))
            return result;

        // Row 5: leveler.
        if (config.compressor && bypass != 4)
        {
            log ("[AudioPipeline] Stage 2: Opto-Style Serial Leveler");
            applyLeveler (buffer, sampleRate);
        }
        if (! checkAndReport ("Compressor", "Compressor"))
            return result;

        // Row 6: saturation.
        log ("[AudioPipeline] Stage 4: Harmonic Saturation");
        if (bypass != 5)
            applySaturation (buffer, sampleRate, params.saturationDriveDb);
        if (! checkAndReport ("Saturation", "Saturation"))
            return result;

        // Row 7: normalization (its analysis runs even when bypassed).
        log ("[AudioPipeline] Stage 5: Broadcast Normalization (Target: " + juce::String (target, 1) + " LUFS)");
        normalizeToTarget (buffer, sampleRate, target, bypass);
        if (! checkAndReport ("Final Normalization", "Final Normalization"))
            return result;

        // Row 8: limiter and output trim.
        log ("[AudioPipeline] Stage 6: True Peak Limiter");
        if (bypass != 7)
            limitAndTrim (buffer, sampleRate);
        if (! checkAndReport ("Limiter", "Limiter & Output Trim"))
            return result;

        if (const auto error = writeWav16Atomically (output, buffer, sampleRate); error.isNotEmpty())
        {
            result.errorMessage = error;
            result.processingTimeMs = elapsed();
            return result;
        }
    }
    else if (currentFile != output)
    {
        // Chain off: the output is a copy of the working file, and a failed copy fails the file.
        if (const auto error = copyFileAtomically (currentFile, output); error.isNotEmpty())
        {
            result.errorMessage = error;
            result.processingTimeMs = elapsed();
            return result;
        }
    }

    // The pre-filtered file is a product of the run and goes beside the output;
    // everything else in the work folder is transient.
    if (workFolderMade)
    {
        const auto prefiltered = workFolder.getChildFile (prefilteredName);
        if (prefiltered.existsAsFile())
            prefiltered.replaceFileIn (outputFolder.getChildFile (prefilteredName));
        workFolder.deleteRecursively();
    }

    result.success = true;
    result.processingTimeMs = elapsed();
    log ("[AudioPipeline] COMPLETE. Total time: " + juce::String (result.processingTimeMs, 1) + "ms");
    log (ruleLine);
    return result;
}
