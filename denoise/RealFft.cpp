#include "denoise/RealFft.h"

#include <fftw3.h>

#include <mutex>
#include <new>

namespace tessaloom::denoise
{
namespace
{
std::mutex& plannerLock()
{
    static std::mutex lock;
    return lock;
}
} // namespace

RealFft::RealFft (int size) : fftSize (size)
{
    time = static_cast<float*> (fftwf_malloc (sizeof (float) * (size_t) fftSize));
    bins = static_cast<std::complex<float>*> (fftwf_malloc (sizeof (fftwf_complex) * (size_t) numBins()));
    if (time == nullptr || bins == nullptr)
    {
        fftwf_free (time);
        fftwf_free (bins);
        throw std::bad_alloc();
    }

    std::lock_guard<std::mutex> guard (plannerLock());
    // FFTW_ESTIMATE: planning is instant and for power-of-two sizes the estimated plan is as fast
    // as a measured one within a few per cent.
    forwardPlan = fftwf_plan_dft_r2c_1d (fftSize, time, reinterpret_cast<fftwf_complex*> (bins), FFTW_ESTIMATE);
    inversePlan = fftwf_plan_dft_c2r_1d (fftSize, reinterpret_cast<fftwf_complex*> (bins), time, FFTW_ESTIMATE);
}

RealFft::~RealFft()
{
    {
        std::lock_guard<std::mutex> guard (plannerLock());
        fftwf_destroy_plan (static_cast<fftwf_plan> (forwardPlan));
        fftwf_destroy_plan (static_cast<fftwf_plan> (inversePlan));
    }
    fftwf_free (time);
    fftwf_free (bins);
}

void RealFft::forward() noexcept
{
    fftwf_execute (static_cast<fftwf_plan> (forwardPlan));
}

void RealFft::inverse() noexcept
{
    fftwf_execute (static_cast<fftwf_plan> (inversePlan));
}
} // namespace tessaloom::denoise
