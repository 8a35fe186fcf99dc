#include "pipeline/stages/GainRamp.h"

namespace tessaloom
{

namespace true_peak_parts
{
GainRamp::GainRamp (int rampLength, float release)
    : length (std::max (1, rampLength)), releaseCoefficient (release), values ((size_t) length, 1.0),
      sum ((double) length), framesAtRest (length)
{
}
} // namespace true_peak_parts

} // namespace tessaloom
