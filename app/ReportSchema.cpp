#include "app/ReportSchema.h"

#include <cmath>

namespace tessaloom
{

namespace report_schema
{
std::optional<double> numberOf (const juce::var& v)
{
    if (v.isDouble() || v.isInt() || v.isInt64())
    {
        const double d = (double) v;
        if (std::isfinite (d))
            return d;
    }
    return std::nullopt;
}

namespace
{
std::optional<juce::String> textOf (const juce::var& v)
{
    return v.isString() ? std::optional<juce::String> (v.toString()) : std::nullopt;
}

std::optional<juce::String> nonEmptyTextOf (const juce::var& v)
{
    const auto text = textOf (v);
    return text && text->isNotEmpty() ? text : std::nullopt;
}

bool isTrue (const juce::var& v)
{
    return v.isBool() && (bool) v;
}

std::vector<double> numbersOf (const juce::var& array)
{
    std::vector<double> out;
    if (const auto* a = array.getArray())
    {
        out.reserve ((size_t) a->size());
        for (const auto& v : *a)
            out.push_back (numberOf (v).value_or (0.0));
    }
    return out;
}

std::vector<Check> checksOf (const juce::var& delivery)
{
    std::vector<Check> checks;
    const auto* list = delivery[key::checks].getArray();
    if (list == nullptr)
        return checks;
    for (const auto& c : *list)
        if (c[key::pass].isBool())
            checks.push_back ({ c[key::requirement].toString(), (bool) c[key::pass], numberOf (c[key::measured]),
                                numberOf (c[key::min]), numberOf (c[key::max]) });
    return checks;
}

ReportRow::Output outputOf (const juce::var& o)
{
    ReportRow::Output out;
    out.integratedLufs = numberOf (o[key::integratedLufs]);
    out.truePeakDbtp = numberOf (o[key::truePeakDbtp]);
    out.loudnessRangeLu = numberOf (o[key::loudnessRangeLu]);
    out.durationSeconds = numberOf (o[key::durationSeconds]);
    out.targetLufs = numberOf (o[key::targetLufs]);
    out.offTargetLu = numberOf (o[key::offTargetLu]);
    out.noiseFloorDbfs = numberOf (o[key::noiseFloorDbfs]);
    out.quietestHalfSecondDbfs = numberOf (o[key::quietestHalfSecondDbfs]);
    out.format = textOf (o[key::format]);
    return out;
}

ReportRow::Room roomOf (const juce::var& room)
{
    ReportRow::Room out;
    const auto& clipping = room[key::clipping];
    out.clippingRuns = numberOf (clipping[key::runs]);
    out.clippingLongestRun = numberOf (clipping[key::longestRun]);
    out.clippingShare = numberOf (clipping[key::share]);
    out.humMeasured = room[key::hum].isObject();
    out.humFound = out.humMeasured && numberOf (room[key::hum][key::mainsHz]).has_value();
    return out;
}
} // namespace

ReportRow readRow (const juce::var& line)
{
    ReportRow row;
    row.inputPath = line[key::inputPath].toString();
    row.outputPath = line[key::outputPath].toString();
    row.outputPathIsText = line[key::outputPath].isString();
    row.success = (bool) line[key::success];
    row.checkOnly = isTrue (line[key::check]);
    row.error = textOf (line[key::error]);
    row.denoiseEngine = textOf (line[key::denoiseEngine]);
    row.finish = nonEmptyTextOf (line[key::settings][key::finish]);
    row.processingTimeMs = numberOf (line[key::processingTimeMs]);

    const auto& input = line[key::inputAnalysis];
    row.input.integratedLufs = numberOf (input[key::integratedLUFS]);
    row.input.durationSeconds = numberOf (input[key::durationSeconds]);
    row.input.noiseFloorDbfs = numberOf (input[key::noiseFloorDBFS]);
    if (input[key::hasGridHum].isBool())
        row.input.gridHum = (bool) input[key::hasGridHum];

    row.output = outputOf (line[key::output]);

    const auto& encode = line[key::encode];
    row.encode.codec = textOf (encode[key::codec]);
    row.encode.bitrateKbps = numberOf (encode[key::bitrateKbps]);
    row.encode.decodedIntegratedLufs = numberOf (encode[key::decodedIntegratedLufs]);
    row.encode.decodedTruePeakDbtp = numberOf (encode[key::decodedTruePeakDbtp]);

    const auto& delivery = line[key::delivery];
    row.delivery.preset = nonEmptyTextOf (delivery[key::preset]);
    row.delivery.passed = isTrue (delivery[key::pass]);
    row.delivery.checks = checksOf (delivery);

    row.room = roomOf (line[key::room]);
    row.inputCurves = line[key::curves][key::input];
    row.outputCurves = line[key::curves][key::output];
    return row;
}

Overview readOverview (const juce::var& curves)
{
    Overview o;
    if (! curves.isObject())
        return o;
    o.present = true;
    o.loudness = { numberOf (curves[key::shortTermStepSeconds]).value_or (1.0), numbersOf (curves[key::shortTermLufs]) };
    const double step = numberOf (curves[key::waveformStepSeconds]).value_or (0.0);
    o.waveformMin = { step, numbersOf (curves[key::waveformMin]) };
    o.waveformMax = { step, numbersOf (curves[key::waveformMax]) };
    return o;
}
} // namespace report_schema

} // namespace tessaloom
