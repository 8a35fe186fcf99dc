#pragma once

// Mains hum at 50 or 60 Hz: which family the recording holds, where its
// fundamental really lies (the grid drifts a few tenths of a hertz), and which
// of its harmonics stand out of their neighbourhood. Unlike the grid-hum check
// of the analysis (one frame from the start, 50 Hz only), this averages the
// power spectrum of the whole recording in frames of about a second, so a steady
// line rises out of speech that moves; it takes the recording in blocks of any
// length and holds one frame and the spectrum up to 400 Hz.

#include <juce_core/juce_core.h>

#include <memory>
#include <vector>

namespace tessaloom
{

struct MainsHumLine
{
    int harmonic = 0;         // 1: the fundamental
    double frequencyHz = 0.0; // as measured
    double overNeighboursDb = 0.0;
};

struct MainsHumMeasurement
{
    bool measured = false;   // false: the recording was shorter than half a frame
    int mainsHz = 0;         // 50 or 60 when a family was found, else 0
    double fundamentalHz = 0.0; // the measured fundamental (mainsHz plus its drift)
    std::vector<MainsHumLine> lines; // the lines of that family that stand out, in order of harmonic
    // How far the strongest line of each family rose out of its neighbours (dB), found or not.
    double strongest50Db = 0.0, strongest60Db = 0.0;

    bool found() const noexcept { return mainsHz != 0; }
};

namespace mains_hum
{
// Which families the measurement may find.
enum class Families
{
    both,
    only50,
    only60
};

constexpr int kHarmonics = 5;            // 50..250 Hz, 60..300 Hz: the lines a mains hum carries into a voice
constexpr double kStandOutDb = 10.0;     // a line this far over the median of its neighbours is hum
constexpr double kSearchHz = 0.8;        // drift looked for around each nominal line, times the harmonic number
constexpr double kNeighbourFromHz = 3.0; // the neighbourhood of a line: 3 to 15 Hz either side
constexpr double kNeighbourToHz = 15.0;
constexpr double kHighestHz = 400.0;     // the spectrum kept

class Scan
{
public:
    Scan (int numChannels, double sampleRate);
    ~Scan();

    void add (const float* const* channels, int numFrames);
    MainsHumMeasurement finish (Families families = Families::both);

    // The frame length at a rate: the power of two at or above one second (bins of at most 1 Hz).
    static int frameLength (double sampleRate);

private:
    void analyseFrame (int validSamples);

    int numChannels;
    double sampleRate;
    int frameSize;
    std::vector<float> frame;  // the open frame, the channels' mean
    int filled = 0;
    std::vector<float> window, fftData;
    std::vector<double> power; // summed power per bin up to kHighestHz
    int frames = 0;
    struct Fft;
    std::unique_ptr<Fft> fft;
};
} // namespace mains_hum

} // namespace tessaloom
