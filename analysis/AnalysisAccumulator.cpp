#include "analysis/AnalysisAccumulator.h"
#include "analysis/AnalysisStreams.h"
#include "common/SideBySide.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace
{
constexpr double kVoiceBlockSeconds = 0.02; // 20 ms voice-activity blocks

// Below this many frames a block's pieces cost less than handing half of them
// to the helper thread and waiting for it.
constexpr int kMinSideBySideFrames = 8192;

// Takes piece indices until none are left; the first exception stops this
// thread's share and is kept for the caller.
void drain (std::atomic<int>& next, int count, const std::function<void (int)>& piece, std::exception_ptr& failure)
{
    try
    {
        for (int i = next.fetch_add (1); i < count; i = next.fetch_add (1))
            piece (i);
    }
    catch (...)
    {
        failure = std::current_exception();
        next.store (count); // the other thread takes no new piece
    }
}

// One helper thread kept for every block of a recording: starting a thread per
// block would cost about as much as measuring a short block. Pieces are taken
// in index order by whichever thread is free, as side_by_side::run does.
class Helper
{
public:
    ~Helper()
    {
        if (! thread.joinable())
            return;
        {
            const std::lock_guard<std::mutex> l (lock);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }

    void run (int count, const std::function<void (int)>& piece)
    {
        std::exception_ptr failure;
        if (count <= 1 || ! side_by_side::helperAvailable() || ! start())
        {
            std::atomic<int> inlineNext { 0 };
            drain (inlineNext, count, piece, failure);
        }
        else
        {
            {
                const std::lock_guard<std::mutex> l (lock);
                job = &piece;
                jobCount = count;
                next.store (0);
                helperFailure = nullptr;
                busy = true;
                ++generation;
            }
            wake.notify_one();
            drain (next, count, piece, failure);

            std::unique_lock<std::mutex> l (lock);
            done.wait (l, [this] { return ! busy; });
            if (failure == nullptr)
                failure = helperFailure;
        }
        if (failure != nullptr)
            std::rethrow_exception (failure);
    }

private:
    bool start()
    {
        if (thread.joinable())
            return true;
        try
        {
            thread = std::thread ([this] { loop(); });
            return true;
        }
        catch (const std::system_error&)
        {
            return false; // no thread to be had: the caller measures alone
        }
    }

    void loop()
    {
        unsigned seen = 0;
        for (;;)
        {
            std::unique_lock<std::mutex> l (lock);
            wake.wait (l, [&] { return stopping || generation != seen; });
            if (stopping)
                return;
            seen = generation;
            const auto* piece = job;
            const int count = jobCount;
            l.unlock();

            std::exception_ptr failure;
            drain (next, count, *piece, failure);

            l.lock();
            helperFailure = failure;
            busy = false;
            l.unlock();
            done.notify_one();
        }
    }

    std::mutex lock;
    std::condition_variable wake, done;
    std::thread thread;
    bool stopping = false, busy = false;
    unsigned generation = 0;
    const std::function<void (int)>* job = nullptr;
    int jobCount = 0;
    std::atomic<int> next { 0 };
    std::exception_ptr helperFailure;
};
} // namespace

struct AnalysisAccumulator::State
{
    State (int channels, double rate)
        : numChannels (std::max (0, channels)), sampleRate (rate),
          loudness (numChannels, rate), truePeak (numChannels), levels (numChannels, (int) (rate * kVoiceBlockSeconds), true),
          sibilance (numChannels, rate), start (numChannels, rate)
    {
    }

    const int numChannels;
    const double sampleRate;
    analysis_detail::LoudnessStream loudness;
    analysis_detail::TruePeakStream truePeak;
    analysis_detail::LevelStream levels;
    analysis_detail::SibilanceStream sibilance;
    analysis_detail::StartFrames start;
    juce::int64 frames = 0;
    Helper helper; // last: stopped before the streams its pieces write go
};

AnalysisAccumulator::AnalysisAccumulator (int numChannels, double sampleRate)
    : state (std::make_unique<State> (numChannels, sampleRate))
{
}

AnalysisAccumulator::~AnalysisAccumulator() = default;

void AnalysisAccumulator::add (const juce::AudioBuffer<float>& block, int numFrames)
{
    jassert (block.getNumChannels() >= state->numChannels && numFrames <= block.getNumSamples());
    add (block.getArrayOfReadPointers(), numFrames);
}

void AnalysisAccumulator::add (const float* const* channels, int numFrames)
{
    if (numFrames <= 0)
        return;
    auto& s = *state;
    s.frames += numFrames;
    s.start.add (channels, numFrames);

    // The costliest first, so the two threads end close together. Each piece
    // writes only its own stream.
    const auto piece = [&] (int i)
    {
        switch (i)
        {
            case 0: s.truePeak.add (channels, numFrames); break;
            case 1: s.loudness.add (channels, numFrames); break;
            case 2: s.levels.add (channels, numFrames); break;
            default: s.sibilance.add (channels, numFrames); break;
        }
    };
    constexpr int numPieces = 4;
    if (numFrames < kMinSideBySideFrames)
        for (int i = 0; i < numPieces; ++i)
            piece (i);
    else
        s.helper.run (numPieces, piece);
}

Analysis AnalysisAccumulator::finish()
{
    auto& s = *state;
    Analysis a;
    auto& m = a.measurements;
    const auto numSamples = (int) s.frames;

    // The two FFT frames first, as the costliest of what is left.
    const auto piece = [&] (int i)
    {
        switch (i)
        {
            case 0: m.gridHum = s.start.gridHum(); break;
            case 1: m.spectralTilt = s.start.spectralTilt(); break;
            case 2:
            {
                const auto scan = s.levels.finish();
                m.voiceActivity = analysis_detail::voiceActivityFromScan (scan, s.numChannels);
                m.snr = analysis_detail::snrFromScan (scan, m.voiceActivity.voicedBlocks, s.numChannels);
                m.crestFactor = analysis_detail::crestFactorFromScan (scan, s.numChannels, numSamples);
                break;
            }
            default:
                m.loudness = analysis_detail::gateBlockPowers (s.loudness.blockPowers());
                m.truePeak = s.truePeak.finish();
                m.sibilance = s.sibilance.finish();
                break;
        }
    };
    constexpr int numPieces = 4;
    if (s.frames < kMinSideBySideFrames)
        for (int i = 0; i < numPieces; ++i)
            piece (i);
    else
        s.helper.run (numPieces, piece);

    a.result = AudioAnalyzer::resultOf (m, s.numChannels, numSamples, s.sampleRate);
    return a;
}

juce::int64 AnalysisAccumulator::numFrames() const noexcept { return state->frames; }

size_t AnalysisAccumulator::sideDataBytes() const noexcept
{
    return state->loudness.heldBytes() + state->levels.heldBytes() + state->start.heldBytes();
}
