#pragma once

namespace tessaloom
{

// Names of the files the program writes next to audio. The driver and the
// noise reducer write them; the batch listing never takes them as inputs.
namespace intermediate_names
{
// The pre-filtered 16-bit copy of the input; kept beside the output.
inline constexpr const char* prefiltered = "_stage0_prefiltered.wav";
// The noise reducer's result, inside the work folder.
inline constexpr const char* denoised = "_stage1_denoised.wav";
// FFmpeg's conversions to and from the denoiser's rate, beside the denoiser's input and output.
inline constexpr const char* resampledTo48k = "_df3_resampled_48k.wav";
inline constexpr const char* resampledBack = "_df3_resample_back.wav";

// The chain's float samples between its passes, inside the work folder. Not a
// .wav name: nothing that lists audio picks it up.
inline constexpr const char* chainSpill = "_chain_spill.f32";
// The finished samples of a lossy delivery, encoded from here as often as the
// decoded file's peak asks (pipeline/DeliveryEncode.h), inside the work folder.
inline constexpr const char* deliveryMaster = "_delivery_master.f32";

inline constexpr const char* all[] = { prefiltered, denoised, resampledTo48k, resampledBack };

// The private work folder of one file: this prefix, the input's name, a short id.
inline constexpr const char* workFolderPrefix = "_work_";
// Appended to the input's name without extension for the denoised copy handed to speech recognition.
inline constexpr const char* asrFeedSuffix = "_asr_feed.wav";
} // namespace intermediate_names

} // namespace tessaloom
