#include "pipeline/stages/Declipper.h"

#include "analysis/Clipping.h"

#include <algorithm>
#include <cmath>

namespace tessaloom
{

namespace stages
{
namespace
{
constexpr double kOrderPerHz = 1.0 / 750.0;
constexpr int kLowestOrder = 16, kHighestOrder = 80;
constexpr int kContextOrders = 16;
constexpr int kClusterOrders = 8;
constexpr double kLongestRunSeconds = 0.04;
constexpr float kHighestRise = 4.0f; // a rebuilt crest stays within 12 dB of the clip level
constexpr int kMostFixings = 32;     // rounds of the constraint's active set
constexpr double kFixedCrest = 0.02; // the crest over a stretch held at the level, relative

// The AR model's coefficients a[0] = 1, a[1..p], fitted to x by the
// autocorrelation method (Levinson-Durbin). Empty when x is silent.
std::vector<double> fitModel (const std::vector<double>& x, int order)
{
    const int n = (int) x.size();
    std::vector<double> r ((size_t) order + 1, 0.0);
    for (int k = 0; k <= order; ++k)
        for (int t = k; t < n; ++t)
            r[(size_t) k] += x[(size_t) t] * x[(size_t) t - (size_t) k];
    if (! (r[0] > 0.0))
        return {};
    r[0] *= 1.0 + 1.0e-9; // a whisper of white noise keeps the recursion stable
    std::vector<double> a ((size_t) order + 1, 0.0), previous;
    a[0] = 1.0;
    double error = r[0];
    for (int i = 1; i <= order; ++i)
    {
        double acc = r[(size_t) i];
        for (int j = 1; j < i; ++j)
            acc += a[(size_t) j] * r[(size_t) (i - j)];
        const double k = -acc / error;
        previous = a;
        for (int j = 1; j < i; ++j)
            a[(size_t) j] = previous[(size_t) j] + k * previous[(size_t) (i - j)];
        a[(size_t) i] = k;
        error *= 1.0 - k * k;
        if (! (error > 0.0))
            break;
    }
    return a;
}

// Solves the symmetric positive definite band system (lower band `band`, rows
// of band + 1: row i holds A(i, i - d) at d) in place into b. false when it is not definite.
bool solveBand (std::vector<double>& A, int band, std::vector<double>& b)
{
    const int m = (int) b.size();
    const int w = band + 1;
    auto at = [&] (int i, int j) -> double& { return A[(size_t) i * (size_t) w + (size_t) (i - j)]; };
    for (int i = 0; i < m; ++i)
        for (int j = std::max (0, i - band); j <= i; ++j)
        {
            double sum = at (i, j);
            for (int k = std::max (0, i - band); k < j; ++k)
                if (j - k <= band)
                    sum -= at (i, k) * at (j, k);
            if (j == i)
            {
                if (! (sum > 0.0))
                    return false;
                at (i, i) = std::sqrt (sum);
            }
            else
                at (i, j) = sum / at (j, j);
        }
    for (int i = 0; i < m; ++i)
    {
        double sum = b[(size_t) i];
        for (int k = std::max (0, i - band); k < i; ++k)
            sum -= at (i, k) * b[(size_t) k];
        b[(size_t) i] = sum / at (i, i);
    }
    for (int i = m - 1; i >= 0; --i)
    {
        double sum = b[(size_t) i];
        for (int k = i + 1; k <= std::min (m - 1, i + band); ++k)
            sum -= at (k, i) * b[(size_t) k];
        b[(size_t) i] = sum / at (i, i);
    }
    return true;
}

struct Unknown
{
    int at;    // in the window
    int sign;  // the side it was clipped on
    bool fixed = false;
};

// The prediction error of model a over the window (0 for the first p samples).
std::vector<double> predictionError (const std::vector<double>& x, const std::vector<double>& a)
{
    const int n = (int) x.size();
    const int p = (int) a.size() - 1;
    std::vector<double> e ((size_t) n, 0.0);
    for (int t = p; t < n; ++t)
    {
        double acc = 0.0;
        for (int k = 0; k <= p; ++k)
            acc += a[(size_t) k] * x[(size_t) (t - k)];
        e[(size_t) t] = acc;
    }
    return e;
}

// The banded normal equations of the free samples (their positions in `at`):
// A (lower band, p + 1 wide, row by row) and b, from the error e with them at zero.
void normalEquations (const std::vector<double>& a, const std::vector<double>& e, const std::vector<int>& at,
                      std::vector<double>& A, std::vector<double>& b)
{
    const int n = (int) e.size();
    const int p = (int) a.size() - 1;
    const int m = (int) at.size();
    A.assign ((size_t) m * (size_t) (p + 1), 0.0);
    b.assign ((size_t) m, 0.0);
    for (int i = 0; i < m; ++i)
    {
        const int ui = at[(size_t) i];
        for (int t = std::max (p, ui); t <= std::min (n - 1, ui + p); ++t)
            b[(size_t) i] -= a[(size_t) (t - ui)] * e[(size_t) t];
        for (int j = std::max (0, i - p); j <= i; ++j)
        {
            const int uj = at[(size_t) j];
            if (ui - uj > p)
                continue;
            double sum = 0.0;
            for (int t = std::max (p, ui); t <= std::min (n - 1, uj + p); ++t)
                sum += a[(size_t) (t - uj)] * a[(size_t) (t - ui)];
            A[(size_t) i * (size_t) (p + 1) + (size_t) (i - j)] = sum;
        }
        A[(size_t) i * (size_t) (p + 1)] += 1.0e-9 + 1.0e-9 * A[(size_t) i * (size_t) (p + 1)];
    }
}

// The clipped samples of x chosen to minimise the prediction error of model a
// over the window, none of them inside the clip level.
void interpolate (std::vector<double>& x, const std::vector<double>& a, std::vector<Unknown>& unknowns, double level,
                  double highest)
{
    const int p = (int) a.size() - 1;
    for (auto& u : unknowns)
        u.fixed = false;
    std::vector<double> A, b;
    for (int round = 0; round < kMostFixings; ++round)
    {
        std::vector<int> free, at;
        for (int i = 0; i < (int) unknowns.size(); ++i)
        {
            auto& u = unknowns[(size_t) i];
            x[(size_t) u.at] = u.fixed ? u.sign * level : 0.0;
            if (! u.fixed)
            {
                free.push_back (i);
                at.push_back (u.at);
            }
        }
        if (free.empty())
            return;
        // The prediction error with the free samples at zero.
        normalEquations (a, predictionError (x, a), at, A, b);
        if (! solveBand (A, p, b))
        {
            for (int i : free)
                unknowns[(size_t) i].fixed = true; // no solution: the samples stay at the level
            continue;
        }
        bool inside = false;
        for (int i = 0; i < (int) free.size(); ++i)
        {
            auto& u = unknowns[(size_t) free[(size_t) i]];
            const double v = b[(size_t) i];
            x[(size_t) u.at] = u.sign * std::min (std::abs (v), highest);
            if (! (u.sign * v >= level))
            {
                u.fixed = true;
                inside = true;
            }
        }
        if (! inside)
            return;
    }
    for (auto& u : unknowns)
        if (u.fixed)
            x[(size_t) u.at] = u.sign * level;
}

// A stretch the model holds at the level (its solution lay inside) keeps the
// level with a slight crest: the sound went beyond the level there, since it
// clipped, and a flat top is the one shape it surely did not have.
void crestFixed (std::vector<double>& x, const std::vector<Unknown>& unknowns, double level)
{
    for (size_t i = 0; i < unknowns.size();)
    {
        if (! unknowns[i].fixed)
        {
            ++i;
            continue;
        }
        size_t j = i;
        while (j + 1 < unknowns.size() && unknowns[j + 1].fixed && unknowns[j + 1].at == unknowns[j].at + 1
               && unknowns[j + 1].sign == unknowns[i].sign)
            ++j;
        const double g = (double) (j - i + 1);
        for (size_t k = i; k <= j; ++k)
        {
            const double t = (double) (k - i + 1);
            x[(size_t) unknowns[k].at] = unknowns[k].sign * level * (1.0 + kFixedCrest * 4.0 * t * (g + 1.0 - t) / ((g + 1.0) * (g + 1.0)));
        }
        i = j + 1;
    }
}
} // namespace

DeclipperDesign designDeclipper (const DeclipperParameters& parameters, double sampleRate)
{
    DeclipperDesign d;
    d.clipLevels = parameters.clipLevels;
    d.headroom = juce::Decibels::decibelsToGain (parameters.headroomDb, -1000.0f);
    d.order = juce::jlimit (kLowestOrder, kHighestOrder, (int) std::lround (sampleRate * kOrderPerHz));
    d.context = kContextOrders * d.order;
    d.clusterSpan = kClusterOrders * d.order;
    d.longestRun = juce::jmax (d.order, (int) std::lround (sampleRate * kLongestRunSeconds));
    d.minRun = 2;
    return d;
}

Declipper::Declipper (const DeclipperDesign& d, int numChannels) : design (d), state ((size_t) juce::jmax (0, numChannels))
{
    design.clipLevels.resize (state.size(), 0.0f);
    totals.headroomDb = juce::Decibels::gainToDecibels (design.headroom);
}

DeclipperReport Declipper::report() const
{
    return totals;
}

int Declipper::process (float* const* channels, int numFrames)
{
    jassert (numFrames >= 0);
    for (size_t ch = 0; ch < state.size(); ++ch)
        state[ch].held.insert (state[ch].held.end(), channels[ch], channels[ch] + numFrames);
    received += numFrames;
    return give (channels, numFrames, false);
}

int Declipper::flush (float* const* channels)
{
    return give (channels, latency(), true);
}

int Declipper::give (float* const* channels, int capacity, bool atEnd)
{
    const juce::int64 readyEnd = atEnd ? received : juce::jmax (emitted, received - (juce::int64) latency());
    const int given = (int) juce::jmin ((juce::int64) capacity, readyEnd - emitted);
    for (size_t ch = 0; ch < state.size(); ++ch)
    {
        auto& c = state[ch];
        if (design.clipLevels[ch] > 0.0f)
            handleRuns (c, design.clipLevels[ch], readyEnd, atEnd);
        const auto from = (size_t) (emitted - c.heldStart);
        for (int i = 0; i < given; ++i)
            channels[ch][i] = c.held[from + (size_t) i] * design.headroom;
        // Keep the context a later cluster may reach back to.
        const auto keepFrom = juce::jmax (c.heldStart, emitted + given - (juce::int64) design.context);
        c.held.erase (c.held.begin(), c.held.begin() + (long) (keepFrom - c.heldStart));
        c.heldStart = keepFrom;
    }
    emitted += given;
    return given;
}

namespace
{
// A channel's held samples as the search for clipped runs reads them.
struct HeldRuns
{
    const std::vector<float>& held;
    juce::int64 start, total;
    float level;
    const DeclipperDesign& design;
    bool atEnd;

    float sample (juce::int64 i) const { return held[(size_t) (i - start)]; }
    static int signOf (float v) { return v < 0.0f ? -1 : 1; }
    bool clipped (juce::int64 i) const { return clipping::atLevel (sample (i), level); }
    // The end of the samples from i at the level on the side `sign`.
    juce::int64 sideEnd (juce::int64 i, int sign) const
    {
        while (i < total && clipped (i) && signOf (sample (i)) == sign)
            ++i;
        return i;
    }
    // The end of the run at i: the samples at the level on the same side.
    juce::int64 runEnd (juce::int64 i) const { return sideEnd (i, signOf (sample (i))); }
    bool tooLong (juce::int64 s, juce::int64 e) const { return e - s > design.longestRun || (e == total && ! atEnd); }

    // The run [i, e) and those after it close enough to share their context, to be rebuilt together.
    std::vector<std::pair<juce::int64, juce::int64>> cluster (juce::int64 i, juce::int64 e) const
    {
        std::vector<std::pair<juce::int64, juce::int64>> runs { { i, e } };
        auto j = e;
        while (runs.back().second - runs.front().first < (juce::int64) design.clusterSpan)
        {
            auto k = j;
            const auto reach = juce::jmin (total, runs.back().second + (juce::int64) design.context);
            while (k < reach && ! clipped (k))
                ++k;
            if (k >= reach)
                break;
            const auto e2 = runEnd (k);
            if (e2 - k < design.minRun)
            {
                j = e2;
                continue;
            }
            if (tooLong (k, e2))
                break;
            runs.push_back ({ k, e2 });
            j = e2;
        }
        return runs;
    }
};
} // namespace

void Declipper::handleRuns (Channel& c, float level, juce::int64 readyEnd, bool atEnd)
{
    const HeldRuns h { c.held, c.heldStart, c.heldStart + (juce::int64) c.held.size(), level, design, atEnd };
    auto i = juce::jmax (c.handledTo, c.heldStart);
    // The rest of a run too long to rebuild, seen in an earlier block.
    if (c.longRunSign != 0)
    {
        i = h.sideEnd (i, c.longRunSign);
        if (i == h.total && ! atEnd)
        {
            c.handledTo = i;
            return;
        }
        c.longRunSign = 0;
    }
    while (i < readyEnd)
    {
        if (! h.clipped (i))
        {
            ++i;
            continue;
        }
        const auto e = h.runEnd (i);
        if (e - i < design.minRun)
        {
            i = e;
            continue;
        }
        if (h.tooLong (i, e))
        {
            ++totals.leftRuns;
            if (e == h.total && ! atEnd)
                c.longRunSign = HeldRuns::signOf (h.sample (i)); // it goes on in the next block
            i = e;
            continue;
        }
        const auto runs = h.cluster (i, e);
        rebuild (c, level, runs);
        i = runs.back().second;
    }
    c.handledTo = juce::jmax (c.handledTo, i);
}

void Declipper::rebuild (Channel& c, float level, const std::vector<std::pair<juce::int64, juce::int64>>& runs)
{
    const auto total = c.heldStart + (juce::int64) c.held.size();
    const auto from = juce::jmax (c.heldStart, runs.front().first - (juce::int64) design.context);
    const auto to = juce::jmin (total, runs.back().second + (juce::int64) design.context);
    std::vector<double> x ((size_t) (to - from));
    for (size_t t = 0; t < x.size(); ++t)
        x[t] = c.held[(size_t) (from - c.heldStart) + t];

    std::vector<Unknown> unknowns;
    for (const auto& [s, e] : runs)
        for (auto t = s; t < e; ++t)
            unknowns.push_back ({ (int) (t - from), x[(size_t) (t - from)] < 0.0 ? -1 : 1 });
    const auto ours = unknowns.size();
    // The clipped samples of the next cluster inside the context are unknowns
    // too (their flat tops would mislead the model), though only this cluster's are kept.
    for (auto t = runs.back().second; t < to; ++t)
        if (clipping::atLevel ((float) x[(size_t) (t - from)], level))
            unknowns.push_back ({ (int) (t - from), x[(size_t) (t - from)] < 0.0 ? -1 : 1 });

    const double highest = juce::jmin ((double) level * kHighestRise, 0.999 / (double) design.headroom);
    for (int round = 0; round < design.rounds; ++round)
    {
        const auto a = fitModel (x, design.order);
        if (a.size() < 2)
            return;
        interpolate (x, a, unknowns, level, highest);
    }
    crestFixed (x, unknowns, level);
    for (size_t i = 0; i < ours; ++i)
        c.held[(size_t) (from - c.heldStart) + (size_t) unknowns[i].at] = (float) x[(size_t) unknowns[i].at];
    totals.rebuiltSamples += (juce::int64) ours;
    totals.rebuiltRuns += (juce::int64) runs.size();
}
} // namespace stages

} // namespace tessaloom
