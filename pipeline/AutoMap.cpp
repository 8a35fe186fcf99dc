#include "pipeline/AutoMap.h"

// Placeholder until the mapping lands: the defaults stand.
AutoMapParameters AutoMap::fromAnalysis (const AnalysisResult&) { return {}; }
float AutoMap::deEsserThreshold (float, const AnalysisResult&) { return (float) kNoLevelDb; }
float AutoMap::expanderThreshold (float, const AnalysisResult&, float base, int) { return base; }
