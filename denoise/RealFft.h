#pragma once

#include <complex>
#include <memory>

namespace tessaloom::denoise
{
/** Real-input FFT of one fixed size, forward and inverse, on FFTW's single-precision planner.

    Measured against juce::dsp::FFT (which falls back to its own radix code when JUCE is built
    without FFTW or IPP) the FFTW pair at 2048 points runs several times faster; see
    bench/bench_denoise.cpp.

    The constructor allocates aligned work arrays and makes the plans (under a lock: FFTW's planner
    is not thread-safe); forward and inverse allocate nothing. One object per thread. */
class RealFft
{
public:
    explicit RealFft (int size);
    ~RealFft();
    RealFft (const RealFft&) = delete;
    RealFft& operator= (const RealFft&) = delete;

    int size() const noexcept { return fftSize; }
    int numBins() const noexcept { return fftSize / 2 + 1; }

    /** The time-domain work array (size() floats): fill it, then call forward(). */
    float* timeData() noexcept { return time; }
    /** The spectrum work array (numBins() values). */
    std::complex<float>* binData() noexcept { return bins; }

    /** timeData() -> binData(), unnormalised. */
    void forward() noexcept;
    /** binData() -> timeData(), unnormalised: inverse (forward (x)) = size() * x. Overwrites binData(). */
    void inverse() noexcept;

private:
    int fftSize;
    float* time = nullptr;
    std::complex<float>* bins = nullptr;
    void* forwardPlan = nullptr;
    void* inversePlan = nullptr;
};
} // namespace tessaloom::denoise
