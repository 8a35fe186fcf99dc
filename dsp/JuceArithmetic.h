#pragma once

// The floor under analysis/ and pipeline/stages/: the kernels both of them run,
// written once.
//
// THE RULE FOR EVERYTHING UNDER dsp/: a kernel here reproduces the arithmetic
// of the JUCE processor it stands for bit for bit. It does JUCE's IEEE
// operations in JUCE's order and precision: reorder nothing, reassociate
// nothing, no fused multiply-add, no wider or narrower type in between (the
// build targets plain x86-64 and never uses -ffast-math). A vector form runs
// the same operations lane by lane. What a kernel may change is only where the
// arithmetic runs: inline in the caller's loop, state kept in registers, two
// channels side by side. The kernels-vs-JUCE test and the filter tests compare
// every kernel with its JUCE processor; the pinned-output test holds the
// whole chain to the same bits. Files below point here instead of repeating it.

#if defined(__SSE2__) || defined(_M_X64)
 #include <emmintrin.h>
 // Two or four channels (or paths) side by side in one register.
 #define TESSALOOM_SSE2 1
#else
 #define TESSALOOM_SSE2 0
#endif

#include <juce_core/juce_core.h>

namespace tessaloom
{

namespace juce_arithmetic
{
// What JUCE's snap-to-zero does to one filter state on Intel machines (a
// no-op elsewhere): a state within 1e-8 of zero becomes zero.
inline void snapToZero (float& v) noexcept
{
   #if JUCE_INTEL
    if (! (v < -1.0e-8f || v > 1.0e-8f))
        v = 0.0f;
   #else
    juce::ignoreUnused (v);
   #endif
}
} // namespace juce_arithmetic

} // namespace tessaloom
