#pragma once

// Program-wide level conventions.
// A level that does not exist (silence, nothing measured) is written as -144 dB.
constexpr double kNoLevelDb = -144.0;
// A loudness at or below -140 LUFS counts as "not measured" by every consumer.
constexpr double kNotMeasuredLufs = -140.0;
