#include "pipeline/stages/Gain.h"

#include "pipeline/GainRules.h"

namespace stages
{
GainSetting gainSettingFor (float gainDb)
{
    return { gainDb, GainRules::gainFactor (gainDb) };
}
} // namespace stages
