#pragma once

#include "denoise/RealFft.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <complex>
#include <vector>

namespace tessaloom::denoise
{
/** Every constant of the suppressor for one sample rate and attenuation limit, designed once per
    file. Time constants are stored as per-frame smoothing factors. */
struct DenoiserDesign
{
    double sampleRate = 48000.0;
    int fftSize = 2048;            ///< about 42.7 ms, rounded to a power of two
    int hop = 512;                 ///< 75 % overlap
    float attenuationLimitDb = 100.0f;
    double gainFloor = 0.0;        ///< smallest gain, 10^(-limit/20); 1 means "leave unchanged"

    double sppSmoothing = 0.0;     ///< speech-presence smoothing per frame (about 152 ms)
    double noiseSmoothing = 0.0;   ///< noise-power smoothing per frame of the tracker (about 150 ms)
    double gainNoiseSmoothing = 0.0; ///< further smoothing of the noise power the gain uses (about 300 ms)
    double floorPowerSmoothing = 0.0; ///< power smoothing for the noise lower bound (about 60 ms)
    int floorSubwindowFrames = 1;  ///< frames per sub-window of the lower bound's 2 s minimum
    double floorFactor = 0.5;      ///< lower bound = factor * 2 s minimum of the smoothed power
    double priorSmoothing = 0.98;  ///< decision-directed weight of the previous frame
    double priorSnrFloor = 0.0;    ///< a-priori SNR floor, -25 dB as a power ratio
    double posteriorSnrCap = 1.0e4;
    double speechSnrH1 = 0.0;      ///< typical a-priori SNR when speech is present, 15 dB as a power ratio
    double silencePower = 0.0;     ///< mean bin power of a -120 dBFS frame: below it a frame is digital silence

    double prescanSeconds = 10.0;  ///< length of the opening used for the first noise estimate
    double prescanSmoothing = 0.0; ///< periodogram smoothing of the pre-scan per frame (about 50 ms)
    // A low percentile keeps speech out of the first estimate (a clean voice recording otherwise
    // starts with its own quiet syllables as "noise" and loses 4 dB SI-SDR); the bias factor is
    // the mean over the 5th percentile of the smoothed power of Gaussian noise, measured.
    double prescanPercentile = 0.05;
    double prescanBias = 1.84;

    // The noise estimate the gain uses is the mean of a forward and a backward tracker: each lags
    // behind a rise of the noise it meets and follows a fall at once, and a rise met forward is a
    // fall met backward. The backward tracker runs over blocks of frames, starting a lookahead
    // beyond each block's end.
    int smoothingBlockFrames = 1;  ///< frames per backward block (about 10 s)
    int lookaheadFrames = 1;       ///< frames the backward tracker runs before it reaches a block (about 5 s)
};

/** The design for a sample rate (Hz) and an attenuation limit (dB, 0 or more). A limit of 100 or
    more means no user limit and gives the internal cap of 25 dB; 0 gives a gain floor of 1 (the
    input comes back unchanged). Pure: allocates nothing. */
DenoiserDesign designDenoiser (double sampleRate, float attenuationLimitDb);

/** The first noise power estimate per bin (numBins values) from the opening of a recording: the
    5th percentile over time of the channel-mean power spectrum, smoothed over about 50 ms and over
    neighbouring bins, times a bias factor. Frames of digital silence are left out; a recording with
    none but those gives the silence power. Reads at most design.prescanSeconds of audio; allocates
    about 4 bytes per bin per frame of that opening. */
std::vector<double> estimateInitialNoise (const DenoiserDesign& design, const float* const* channels,
                                          int numChannels, int numSamples);

/** Speech-presence-probability noise power tracker over a sequence of frames (in either
    direction), held above a fraction of the recent minimum power so that noise that starts or
    grows is caught up within seconds. Allocates in its constructor only. */
class NoiseTracker
{
public:
    NoiseTracker (const DenoiserDesign& design, int numBins);

    /** Starts afresh from a noise power estimate (numBins values). */
    void reset (const float* initialNoise);
    void reset (const std::vector<double>& initialNoise);

    /** Takes the next frame's channel-mean power (numBins values); a frame of digital silence
        updates only the lower bound. Returns the noise power per bin for the gain. */
    const std::vector<double>& update (const float* power, bool silent);

private:
    void updateLowerBound (const float* power);
    void restart(); ///< everything but the noise estimate back to its starting state

    DenoiserDesign design;
    int numBins;
    std::vector<double> noisePower, gainNoisePower, speechPresence;

    // Lower bound of the noise power: minimum of the smoothed power over the last 2 s, kept as
    // the minima of whole sub-windows plus the running minimum of the current one.
    static constexpr int floorSubwindows = 8;
    std::vector<double> smoothedPower, currentMinimum, windowMinimum;
    std::vector<std::vector<double>> subwindowMinima;
    int framesInSubwindow = 0;
    int completedSubwindows = 0;
    int activeFrames = 0;
};

/** Streaming short-time spectral suppressor: square-root Hann frames at 75 % overlap, noise power
    from the mean of a forward and a backward NoiseTracker, a-priori SNR by the decision-directed
    rule refined by a second step, Wiener gain floored by the attenuation limit. One gain per bin
    from the channel-mean power is applied to every channel, so a stereo image stays put.

    The output lags the input by exactly latency() samples (the first latency() output samples
    belong before the input's start; about 15 s for the backward tracker's block and lookahead);
    feed latency() zeros at the end to get the tail. The constructor allocates (at 48 kHz about
    12 MB, plus 17 MB per channel); process() allocates nothing. */
class StftDenoiser
{
public:
    StftDenoiser (const DenoiserDesign& design, int numChannels, const std::vector<double>& initialNoise);

    int latency() const noexcept { return design.fftSize + queueFrames * design.hop; }

    /** Processes numSamples samples of every channel. input == nullptr feeds zeros. input and
        output may be the same arrays (each sample is read before its slot is written). */
    void process (const float* const* input, float* const* output, int numSamples);

private:
    void analyseFrame();
    void smoothAndSynthesiseBlock();
    /** Gains from a frame's power and the combined noise estimate (numBins values each). */
    void computeGains (const float* power, const float* noise);

    DenoiserDesign design;
    int numChannels;
    int numBins;
    int queueFrames;   ///< frames held before a block is synthesised: block plus lookahead
    int fill = 0;
    bool firstFrame = true;

    RealFft fft;
    std::vector<float> analysisWindow, synthesisWindow;
    std::vector<std::vector<float>> frames, accumulators;

    // Frames analysed but not yet synthesised, oldest first from queueStart (a ring of queueFrames):
    // every channel's spectrum, the channel-mean power, the forward tracker's noise, digital silence.
    std::vector<std::complex<float>> queuedSpectra; ///< [slot][channel][bin]
    std::vector<float> queuedPower, queuedForwardNoise; ///< [slot][bin]
    std::vector<char> queuedSilent;
    int queueStart = 0, queued = 0;

    NoiseTracker forward, backward;
    std::vector<double> previousCleanPower;
    std::vector<float> gains;

    // Synthesised output waiting to be handed out, a ring per channel: it starts with a fixed
    // delay of zeros so that the output lags by exactly latency() however the blocks fall.
    std::vector<std::vector<float>> outputRing;
    int ringRead = 0, ringWrite = 0;
};

/** Denoises a whole buffer in place with zero lag and unchanged length: pre-scans the opening for
    the first noise estimate, then runs StftDenoiser over it. sampleRate in Hz,
    attenuationLimitDb as for designDenoiser. Allocates the suppressor's state and one
    latency-sized block, no copy of the buffer. */
void denoiseBuffer (juce::AudioBuffer<float>& buffer, double sampleRate, float attenuationLimitDb);
} // namespace tessaloom::denoise
