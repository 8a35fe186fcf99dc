#include "analysis/MainsHum.h"

#include "common/Levels.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace tessaloom
{

namespace mains_hum
{
struct Scan::Fft
{
    explicit Fft (int order) : fft (order) {}
    juce::dsp::FFT fft;
};

int Scan::frameLength (double sampleRate)
{
    int size = 1 << 12;
    while (size < sampleRate && size < (1 << 18))
        size <<= 1;
    return size;
}

Scan::Scan (int channels, double rate)
    : numChannels (juce::jmax (0, channels)), sampleRate (rate), frameSize (frameLength (rate)),
      frame ((size_t) frameSize, 0.0f)
{
}

Scan::~Scan() = default;

void Scan::add (const float* const* channels, int numFrames)
{
    if (numChannels == 0 || ! (sampleRate > 0.0))
        return;
    const float scale = 1.0f / (float) numChannels;
    int done = 0;
    while (done < numFrames)
    {
        const int n = juce::jmin (numFrames - done, frameSize - filled);
        for (int i = 0; i < n; ++i)
        {
            float sum = 0.0f;
            for (int c = 0; c < numChannels; ++c)
                sum += channels[c][done + i];
            frame[(size_t) (filled + i)] = std::isfinite (sum) ? sum * scale : 0.0f;
        }
        filled += n;
        done += n;
        if (filled == frameSize)
        {
            analyseFrame (frameSize);
            filled = 0;
        }
    }
}

void Scan::analyseFrame (int valid)
{
    if (fft == nullptr)
    {
        fft = std::make_unique<Fft> (juce::roundToInt (std::log2 ((double) frameSize)));
        fftData.assign ((size_t) frameSize * 2, 0.0f);
        power.assign ((size_t) std::ceil (kHighestHz * frameSize / sampleRate) + 2, 0.0);
    }
    // A Hann window over the valid samples; a short last frame is padded with zeros.
    // A whole frame's window is made once: a cosine per sample cost as much as the transform.
    const auto hann = [valid] (int i) { return (float) (0.5 - 0.5 * std::cos (2.0 * juce::MathConstants<double>::pi * i / valid)); };
    if (valid == frameSize && window.empty())
    {
        window.resize ((size_t) frameSize);
        for (int i = 0; i < frameSize; ++i)
            window[(size_t) i] = hann (i);
    }
    std::fill (fftData.begin(), fftData.end(), 0.0f);
    if (valid == frameSize)
        for (int i = 0; i < valid; ++i)
            fftData[(size_t) i] = frame[(size_t) i] * window[(size_t) i];
    else
        for (int i = 0; i < valid; ++i)
            fftData[(size_t) i] = frame[(size_t) i] * hann (i);
    fft->fft.performFrequencyOnlyForwardTransform (fftData.data(), true);
    for (size_t b = 0; b < power.size(); ++b)
        power[b] += (double) fftData[b] * (double) fftData[b];
    ++frames;
}

namespace
{
double levelDb (double p)
{
    return p > 0.0 ? 10.0 * std::log10 (p) : kNoLevelDb;
}

// One line looked for near `hz`: the strongest bin within the search span, its
// frequency from the magnitudes of it and its louder neighbour (exact for one
// sinusoid under a Hann window), and its rise over the median of its neighbourhood.
std::optional<MainsHumLine> lineNear (const std::vector<double>& power, double binWidth, double hz, double span)
{
    const int last = (int) power.size() - 2;
    const int lo = juce::jmax (1, (int) std::floor ((hz - span) / binWidth));
    const int hi = juce::jmin (last, (int) std::ceil ((hz + span) / binWidth));
    if (hi < lo)
        return std::nullopt;
    int peak = lo;
    for (int b = lo; b <= hi; ++b)
        if (power[(size_t) b] > power[(size_t) peak])
            peak = b;

    std::vector<double> around;
    const int from = (int) std::ceil (kNeighbourFromHz / binWidth), to = (int) std::floor (kNeighbourToHz / binWidth);
    for (int d = from; d <= to; ++d)
        for (int b : { peak - d, peak + d })
            if (b >= 1 && b <= last)
                around.push_back (power[(size_t) b]);
    if (around.empty())
        return std::nullopt;
    std::nth_element (around.begin(), around.begin() + (long) around.size() / 2, around.end());
    const double median = around[around.size() / 2];

    const double m0 = std::sqrt (power[(size_t) peak]);
    const double mL = std::sqrt (power[(size_t) peak - 1]), mR = std::sqrt (power[(size_t) peak + 1]);
    double offset = 0.0;
    if (m0 > 0.0)
    {
        // Hann: the ratio a of the louder neighbour to the peak gives the offset (2a - 1) / (a + 1) bins.
        const bool right = mR >= mL;
        const double a = (right ? mR : mL) / m0;
        offset = (2.0 * a - 1.0) / (a + 1.0);
        offset = juce::jlimit (0.0, 0.5, offset) * (right ? 1.0 : -1.0);
    }
    MainsHumLine line;
    line.frequencyHz = (peak + offset) * binWidth;
    line.overNeighboursDb = median > 0.0 ? levelDb (power[(size_t) peak]) - levelDb (median) : 0.0;
    return line;
}

struct Family
{
    std::vector<MainsHumLine> standing;
    double strongest = 0.0;
    double score = 0.0;
    bool present = false;
};

Family lookFor (const std::vector<double>& power, double binWidth, int mainsHz)
{
    Family f;
    for (int k = 1; k <= kHarmonics; ++k)
    {
        const auto line = lineNear (power, binWidth, k * (double) mainsHz, k * kSearchHz);
        if (! line)
            continue;
        f.strongest = juce::jmax (f.strongest, line->overNeighboursDb);
        if (line->overNeighboursDb >= kStandOutDb)
        {
            auto l = *line;
            l.harmonic = k;
            f.standing.push_back (l);
            f.score += l.overNeighboursDb;
        }
    }
    // Hum is the fundamental standing out, or two of its lines: one line at 100
    // or 120 Hz alone may be a voice holding its pitch.
    const bool fundamental = ! f.standing.empty() && f.standing.front().harmonic == 1;
    f.present = fundamental || f.standing.size() >= 2;
    return f;
}
} // namespace

MainsHumMeasurement Scan::finish (Families families)
{
    MainsHumMeasurement m;
    if (filled >= frameSize / 2)
        analyseFrame (filled);
    filled = 0;
    if (frames == 0)
        return m;
    m.measured = true;
    const double binWidth = sampleRate / frameSize;
    const auto f50 = lookFor (power, binWidth, 50), f60 = lookFor (power, binWidth, 60);
    m.strongest50Db = f50.strongest;
    m.strongest60Db = f60.strongest;
    const bool take50 = families != Families::only60 && f50.present
                        && (families == Families::only50 || ! f60.present || f50.score >= f60.score);
    const bool take60 = ! take50 && families != Families::only50 && f60.present;
    if (! take50 && ! take60)
        return m;
    const auto& family = take50 ? f50 : f60;
    m.mainsHz = take50 ? 50 : 60;
    m.lines = family.standing;
    // The fundamental from the most prominent line, the one measured best.
    const auto best = std::max_element (m.lines.begin(), m.lines.end(), [] (const auto& a, const auto& b)
                                        { return a.overNeighboursDb < b.overNeighboursDb; });
    m.fundamentalHz = best->frequencyHz / best->harmonic;
    return m;
}
} // namespace mains_hum

} // namespace tessaloom
