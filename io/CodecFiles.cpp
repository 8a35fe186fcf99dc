#include "io/CodecFiles.h"
#include "io/NativeNames.h"

#include "io/AudioFileIO.h"
#include "io/InFlightFiles.h"

extern "C"
{
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <vector>

#include <dlfcn.h>

namespace tessaloom
{

//==============================================================================
// FFmpeg's libraries are loaded when a file first needs them, not linked: with
// Debian's codec dependencies they map about 180 MB of address space into the
// process, which a run of WAV files never uses and a run under a virtual
// memory limit (ulimit -v) cannot afford. Every call below goes through this
// table; the code reads as plain calls (the names are defined to the table's
// entries after it).
namespace
{
#define TESSALOOM_LIBAV_FUNCTIONS(X) \
    X (av_audio_fifo_alloc) \
    X (av_audio_fifo_free) \
    X (av_audio_fifo_read) \
    X (av_audio_fifo_size) \
    X (av_audio_fifo_write) \
    X (av_channel_layout_copy) \
    X (av_channel_layout_default) \
    X (av_channel_layout_uninit) \
    X (av_dict_get) \
    X (av_dict_set) \
    X (av_find_best_stream) \
    X (av_frame_alloc) \
    X (av_frame_free) \
    X (av_frame_get_buffer) \
    X (av_frame_unref) \
    X (av_freep) \
    X (av_get_packed_sample_fmt) \
    X (av_interleaved_write_frame) \
    X (av_log_set_level) \
    X (av_malloc) \
    X (av_opt_set_int) \
    X (av_packet_alloc) \
    X (av_packet_free) \
    X (av_packet_rescale_ts) \
    X (av_packet_unref) \
    X (av_read_frame) \
    X (av_rescale_q) \
    X (av_sample_fmt_is_planar) \
    X (av_samples_alloc_array_and_samples) \
    X (av_strerror) \
    X (av_write_trailer) \
    X (avcodec_alloc_context3) \
    X (avcodec_descriptor_get) \
    X (avcodec_find_encoder_by_name) \
    X (avcodec_free_context) \
    X (avcodec_open2) \
    X (avcodec_parameters_from_context) \
    X (avcodec_parameters_to_context) \
    X (avcodec_receive_frame) \
    X (avcodec_receive_packet) \
    X (avcodec_send_frame) \
    X (avcodec_send_packet) \
    X (avformat_alloc_output_context2) \
    X (avformat_close_input) \
    X (avformat_find_stream_info) \
    X (avformat_free_context) \
    X (avformat_new_stream) \
    X (avformat_open_input) \
    X (avformat_write_header) \
    X (avio_alloc_context) \
    X (avio_context_free) \
    X (swr_alloc_set_opts2) \
    X (swr_convert) \
    X (swr_free) \
    X (swr_get_out_samples) \
    X (swr_init)

struct Libav
{
#define X(name) decltype (&::name) name = nullptr;
    TESSALOOM_LIBAV_FUNCTIONS (X)
#undef X
    juce::String missing; // empty when every function was found
};

const Libav& loadLibav()
{
    static const Libav loaded = []
    {
        Libav lib;
        const char* const sonames[] = { "libavutil.so." AV_STRINGIFY (LIBAVUTIL_VERSION_MAJOR),
                                        "libswresample.so." AV_STRINGIFY (LIBSWRESAMPLE_VERSION_MAJOR),
                                        "libavcodec.so." AV_STRINGIFY (LIBAVCODEC_VERSION_MAJOR),
                                        "libavformat.so." AV_STRINGIFY (LIBAVFORMAT_VERSION_MAJOR) };
        std::vector<void*> handles;
        for (auto* soname : sonames)
        {
            // Kept for the life of the process: the table points into them.
            if (auto* h = dlopen (soname, RTLD_NOW | RTLD_LOCAL))
                handles.push_back (h);
            else
                lib.missing = "FFmpeg's library " + juce::String (soname) + " could not be loaded";
        }
        auto find = [&] (const char* name) -> void*
        {
            for (auto* h : handles)
                if (auto* f = dlsym (h, name))
                    return f;
            return nullptr;
        };
#define X(name)                                                                         \
        lib.name = reinterpret_cast<decltype (lib.name)> (find (#name));                \
        if (lib.name == nullptr && lib.missing.isEmpty())                               \
            lib.missing = "FFmpeg's libraries have no " #name;
        TESSALOOM_LIBAV_FUNCTIONS (X)
#undef X
        return lib;
    }();
    return loaded;
}

const Libav& libav()
{
    return loadLibav();
}

// Why FFmpeg's libraries cannot be used, or empty when they can.
juce::String libavMissing()
{
    return loadLibav().missing;
}
} // namespace

#define av_audio_fifo_alloc (libav().av_audio_fifo_alloc)
#define av_audio_fifo_free (libav().av_audio_fifo_free)
#define av_audio_fifo_read (libav().av_audio_fifo_read)
#define av_audio_fifo_size (libav().av_audio_fifo_size)
#define av_audio_fifo_write (libav().av_audio_fifo_write)
#define av_channel_layout_copy (libav().av_channel_layout_copy)
#define av_channel_layout_default (libav().av_channel_layout_default)
#define av_channel_layout_uninit (libav().av_channel_layout_uninit)
#define av_dict_get (libav().av_dict_get)
#define av_dict_set (libav().av_dict_set)
#define av_find_best_stream (libav().av_find_best_stream)
#define av_frame_alloc (libav().av_frame_alloc)
#define av_frame_free (libav().av_frame_free)
#define av_frame_get_buffer (libav().av_frame_get_buffer)
#define av_frame_unref (libav().av_frame_unref)
#define av_freep (libav().av_freep)
#define av_get_packed_sample_fmt (libav().av_get_packed_sample_fmt)
#define av_interleaved_write_frame (libav().av_interleaved_write_frame)
#define av_log_set_level (libav().av_log_set_level)
#define av_malloc (libav().av_malloc)
#define av_opt_set_int (libav().av_opt_set_int)
#define av_packet_alloc (libav().av_packet_alloc)
#define av_packet_free (libav().av_packet_free)
#define av_packet_rescale_ts (libav().av_packet_rescale_ts)
#define av_packet_unref (libav().av_packet_unref)
#define av_read_frame (libav().av_read_frame)
#define av_rescale_q (libav().av_rescale_q)
#define av_sample_fmt_is_planar (libav().av_sample_fmt_is_planar)
#define av_samples_alloc_array_and_samples (libav().av_samples_alloc_array_and_samples)
#define av_strerror (libav().av_strerror)
#define av_write_trailer (libav().av_write_trailer)
#define avcodec_alloc_context3 (libav().avcodec_alloc_context3)
#define avcodec_descriptor_get (libav().avcodec_descriptor_get)
#define avcodec_find_encoder_by_name (libav().avcodec_find_encoder_by_name)
#define avcodec_free_context (libav().avcodec_free_context)
#define avcodec_open2 (libav().avcodec_open2)
#define avcodec_parameters_from_context (libav().avcodec_parameters_from_context)
#define avcodec_parameters_to_context (libav().avcodec_parameters_to_context)
#define avcodec_receive_frame (libav().avcodec_receive_frame)
#define avcodec_receive_packet (libav().avcodec_receive_packet)
#define avcodec_send_frame (libav().avcodec_send_frame)
#define avcodec_send_packet (libav().avcodec_send_packet)
#define avformat_alloc_output_context2 (libav().avformat_alloc_output_context2)
#define avformat_close_input (libav().avformat_close_input)
#define avformat_find_stream_info (libav().avformat_find_stream_info)
#define avformat_free_context (libav().avformat_free_context)
#define avformat_new_stream (libav().avformat_new_stream)
#define avformat_open_input (libav().avformat_open_input)
#define avformat_write_header (libav().avformat_write_header)
#define avio_alloc_context (libav().avio_alloc_context)
#define avio_context_free (libav().avio_context_free)
#define swr_alloc_set_opts2 (libav().swr_alloc_set_opts2)
#define swr_convert (libav().swr_convert)
#define swr_free (libav().swr_free)
#define swr_get_out_samples (libav().swr_get_out_samples)
#define swr_init (libav().swr_init)

namespace
{
// The same bounds as openAudioFile's for a header (io/AudioFileIO.cpp).
constexpr int maxChannels = 1024;
constexpr int minSampleRate = 1;
constexpr int maxSampleRate = 768000;

// The rates LAME encodes (MPEG-1, -2 and -2.5 Layer III).
constexpr std::array<int, 9> mp3Rates { 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000 };

// An AAC encoder pads its last frame to 1024 (or 2048) samples, plus at most a
// frame of delay: more than this past the declared length is not padding.
constexpr juce::int64 kMostPaddingFrames = 4096;

// Frames handed to an encoder that takes frames of any size (FLAC's is set
// on open; this is only the fallback).
constexpr int variableFrameSize = 4096;

// FFmpeg's libraries print their warnings on stderr, in among the log's lines
// (the MP4 muxer's about a temporary file's name, for one); every failure here
// is answered with an Outcome instead, so they are silenced.
void silenceLibav()
{
    static std::once_flag once;
    std::call_once (once, [] { av_log_set_level (AV_LOG_QUIET); });
}

juce::String avError (int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror (code, text, sizeof (text));
    return juce::String (text);
}

// The codec as people name it ("MP3", "AAC", "Opus"), from libavcodec's names.
juce::String describeCodec (AVCodecID id)
{
    switch (id)
    {
        case AV_CODEC_ID_MP3:    return "MP3";
        case AV_CODEC_ID_AAC:    return "AAC";
        case AV_CODEC_ID_OPUS:   return "Opus";
        case AV_CODEC_ID_VORBIS: return "Ogg Vorbis";
        case AV_CODEC_ID_FLAC:   return "FLAC";
        case AV_CODEC_ID_ALAC:   return "ALAC";
        default: break;
    }
    const auto* d = avcodec_descriptor_get (id);
    return d != nullptr ? juce::String (d->long_name != nullptr ? d->long_name : d->name) : juce::String ("unknown codec");
}

// A decoded frame's samples as float, appended per channel. false for a sample
// format no decoder here gives.
bool appendAsFloat (const AVFrame& frame, int channels, std::vector<std::vector<float>>& out)
{
    const auto format = (AVSampleFormat) frame.format;
    const bool planar = av_sample_fmt_is_planar (format) != 0;
    const int n = frame.nb_samples;
    for (int c = 0; c < channels; ++c)
    {
        auto& dest = out[(size_t) c];
        const size_t base = dest.size();
        dest.resize (base + (size_t) n);
        const uint8_t* data = planar ? frame.extended_data[c] : frame.extended_data[0];
        const int stride = planar ? 1 : channels;
        const int offset = planar ? 0 : c;
        for (int i = 0; i < n; ++i)
        {
            const int k = i * stride + offset;
            float v = 0.0f;
            switch (av_get_packed_sample_fmt (format))
            {
                case AV_SAMPLE_FMT_U8:  v = (float) (((const uint8_t*) data)[k] - 128) / 128.0f; break;
                case AV_SAMPLE_FMT_S16: v = (float) ((const int16_t*) data)[k] / 32768.0f; break;
                case AV_SAMPLE_FMT_S32: v = (float) ((double) ((const int32_t*) data)[k] / 2147483648.0); break;
                case AV_SAMPLE_FMT_S64: v = (float) ((double) ((const int64_t*) data)[k] / 9223372036854775808.0); break;
                case AV_SAMPLE_FMT_FLT: v = ((const float*) data)[k]; break;
                case AV_SAMPLE_FMT_DBL: v = (float) ((const double*) data)[k]; break;
                default: return false;
            }
            dest[base + (size_t) i] = v;
        }
    }
    return true;
}

void setTag (AVDictionary** dict, const char* key, const juce::String& value)
{
    if (value.isNotEmpty())
        av_dict_set (dict, key, value.toRawUTF8(), 0);
}

juce::String getTag (const AVDictionary* dict, const char* key)
{
    const auto* e = av_dict_get (dict, key, nullptr, 0); // case-insensitive by default
    return e != nullptr ? juce::String::fromUTF8 (e->value) : juce::String();
}
} // namespace

//==============================================================================
juce::String codecName (OutputCodec codec)
{
    switch (codec)
    {
        case OutputCodec::wav:  return "wav";
        case OutputCodec::flac: return "flac";
        case OutputCodec::mp3:  return "mp3";
        case OutputCodec::aac:  return "aac";
        case OutputCodec::opus: return "opus";
    }
    return {};
}

bool codecFromName (const juce::String& name, OutputCodec& codec)
{
    for (auto c : { OutputCodec::wav, OutputCodec::flac, OutputCodec::mp3, OutputCodec::aac, OutputCodec::opus })
        if (name == codecName (c))
        {
            codec = c;
            return true;
        }
    return false;
}

juce::String extensionFor (OutputCodec codec)
{
    return codec == OutputCodec::aac ? ".m4a" : "." + codecName (codec);
}

bool codecForExtension (const juce::File& file, OutputCodec& codec)
{
    const auto ext = file.getFileExtension().toLowerCase();
    if (ext == ".wav")                                    codec = OutputCodec::wav;
    else if (ext == ".flac")                              codec = OutputCodec::flac;
    else if (ext == ".mp3")                               codec = OutputCodec::mp3;
    else if (ext == ".m4a" || ext == ".aac" || ext == ".mp4") codec = OutputCodec::aac;
    else if (ext == ".opus")                              codec = OutputCodec::opus;
    else return false;
    return true;
}

int defaultBitrateKbps (OutputCodec codec)
{
    switch (codec)
    {
        case OutputCodec::mp3:
        case OutputCodec::aac:  return 128;
        case OutputCodec::opus: return 96;
        default:                return 0;
    }
}

int defaultBitDepth (OutputCodec codec)
{
    switch (codec)
    {
        case OutputCodec::wav:  return 16;
        case OutputCodec::flac: return 24;
        default:                return 0;
    }
}

int codecSampleRate (OutputCodec codec, double rate)
{
    const int r = (int) std::lround (rate);
    if (codec == OutputCodec::opus)
        return 48000;
    if (codec == OutputCodec::mp3)
    {
        for (auto m : mp3Rates)
            if (m >= r)
                return m;
        return 48000;
    }
    return r;
}

const juce::StringArray& otherAudioExtensions()
{
    static const juce::StringArray extensions { "mp3", "m4a", "aac", "mp4", "ogg", "oga", "opus", "flac", "aif", "aiff" };
    return extensions;
}

// A file's name as libavformat takes it: through the file protocol, so a
// colon in the name never reads as another protocol, and in the bytes the
// file system holds (a name that is not UTF-8 included).
static std::string fileUrl (const juce::File& file)
{
    return "file:" + native_names::toNativeBytes (file.getFullPathName());
}

AudioTags readTags (const juce::File& file)
{
    AudioTags tags;
    if (libavMissing().isNotEmpty())
        return tags;
    silenceLibav();
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input (&fmt, fileUrl (file).c_str(), nullptr, nullptr) < 0)
        return tags;
    // Ogg keeps its comments on the stream, and they are read with the stream's first packets.
    avformat_find_stream_info (fmt, nullptr);
    auto pick = [&] (const char* key)
    {
        auto v = getTag (fmt->metadata, key);
        for (unsigned i = 0; v.isEmpty() && i < fmt->nb_streams; ++i)
            if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                v = getTag (fmt->streams[i]->metadata, key);
        return v;
    };
    tags.title = pick ("title");
    tags.artist = pick ("artist");
    tags.album = pick ("album");
    tags.comment = pick ("comment");
    avformat_close_input (&fmt);
    return tags;
}

//==============================================================================
struct CodecDecoder::Stream
{
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int index = -1;
    bool flushed = false, ended = false, failed = false;

    ~Stream()
    {
        av_frame_free (&frame);
        av_packet_free (&packet);
        avcodec_free_context (&codec);
        avformat_close_input (&format);
    }

    // Opens the file's best audio stream for decoding; empty on success, else why.
    juce::String open (const juce::File& file)
    {
        if (const auto missing = libavMissing(); missing.isNotEmpty())
            return "Unsupported audio format (" + missing + "): " + file.getFullPathName();
        silenceLibav();
        const auto path = file.getFullPathName();
        if (avformat_open_input (&format, fileUrl (file).c_str(), nullptr, nullptr) < 0)
            return "Unsupported audio format (not a recognised audio file): " + path;
        if (avformat_find_stream_info (format, nullptr) < 0)
            return "Audio file could not be decoded (its streams could not be read): " + path;
        const AVCodec* decoder = nullptr;
        index = av_find_best_stream (format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        if (index < 0 && index != AVERROR_DECODER_NOT_FOUND)
            return "Unsupported audio format (" + juce::String (format->iformat->long_name) + " holds no audio stream): " + path;
        const auto* par = format->streams[index]->codecpar;
        if (decoder == nullptr)
            return "Unsupported audio format (" + describeCodec (par->codec_id) + " cannot be decoded by this build): " + path;
        for (unsigned i = 0; i < format->nb_streams; ++i)
            if ((int) i != index)
                format->streams[i]->discard = AVDISCARD_ALL;
        codec = avcodec_alloc_context3 (decoder);
        packet = av_packet_alloc();
        frame = av_frame_alloc();
        if (codec == nullptr || packet == nullptr || frame == nullptr || avcodec_parameters_to_context (codec, par) < 0
            || avcodec_open2 (codec, decoder, nullptr) < 0)
            return "Audio file could not be decoded (the " + describeCodec (par->codec_id) + " decoder would not open): " + path;
        return {};
    }

    // The next decoded frame into `frame`; false at the end of the stream or on an error (failed).
    bool next()
    {
        for (;;)
        {
            const int got = avcodec_receive_frame (codec, frame);
            if (got == 0)
                return true;
            if (got == AVERROR_EOF)
            {
                ended = true;
                return false;
            }
            if (got != AVERROR (EAGAIN))
            {
                failed = true;
                return false;
            }
            if (flushed)
            {
                ended = true;
                return false;
            }
            const int read = av_read_frame (format, packet);
            if (read == AVERROR_EOF)
            {
                avcodec_send_packet (codec, nullptr);
                flushed = true;
                continue;
            }
            if (read < 0)
            {
                failed = true;
                return false;
            }
            if (packet->stream_index == index)
            {
                const int sent = avcodec_send_packet (codec, packet);
                if (sent < 0 && sent != AVERROR (EAGAIN))
                {
                    av_packet_unref (packet);
                    failed = true;
                    return false;
                }
            }
            av_packet_unref (packet);
        }
    }
};

CodecDecoder::~CodecDecoder() = default;

Outcome CodecDecoder::open (const juce::File& file, juce::int64 maxFramesPerChannel, std::unique_ptr<CodecDecoder>& opened)
{
    opened.reset();
    std::unique_ptr<CodecDecoder> d (new CodecDecoder());
    d->file = file;
    d->stream = std::make_unique<Stream>();
    const auto path = file.getFullPathName();
    if (const auto why = d->stream->open (file); why.isNotEmpty())
        return Outcome::failure (why);

    auto* ctx = d->stream->codec;
    d->description = describeCodec (ctx->codec_id);
    d->channels = ctx->ch_layout.nb_channels;
    d->rate = ctx->sample_rate;
    d->bits = ctx->bits_per_raw_sample > 0 ? ctx->bits_per_raw_sample : 0;
    if (d->channels < 1 || d->channels > maxChannels || ctx->sample_rate < minSampleRate || ctx->sample_rate > maxSampleRate)
        return Outcome::failure ("Unusable audio header (" + juce::String (d->channels) + " channels, "
                                 + juce::String (ctx->sample_rate) + " Hz): " + path);

    // The length: every frame decoded once and counted, nothing kept.
    juce::int64 frames = 0;
    auto& s = *d->stream;
    while (s.next())
    {
        if (s.frame->ch_layout.nb_channels != d->channels || s.frame->sample_rate != ctx->sample_rate)
            return Outcome::failure ("Unsupported audio file (the " + d->description
                                     + " stream changes its channels or rate part-way): " + path);
        frames += s.frame->nb_samples;
        av_frame_unref (s.frame);
        if (frames > maxFramesPerChannel)
            return Outcome::failure ("Audio file too long to process (more than " + juce::String (maxFramesPerChannel)
                                         + " samples per channel): " + path,
                                     Outcome::Status::tooLong);
    }
    if (s.failed)
        return Outcome::failure ("Audio file could not be decoded (the " + d->description
                                 + " stream is damaged after " + juce::String (frames) + " frames): " + path);

    // An MP4's edit list gives the programme's exact length, and the demuxer
    // removes the encoder delay at its start but not the padding of the last
    // codec frame (FFmpeg 5.1): the decoded frames past that length are cut.
    const auto* st = s.format->streams[s.index];
    if (juce::String (s.format->iformat->name).contains ("mp4") && st->duration != AV_NOPTS_VALUE && st->duration > 0)
    {
        const auto declared = av_rescale_q (st->duration, st->time_base, AVRational { 1, ctx->sample_rate });
        if (declared < frames && frames - declared <= kMostPaddingFrames)
            frames = declared;
    }
    d->length = frames;
    if (! d->rewind())
        return Outcome::failure ("Audio file could not be decoded (" + d->description + "): " + path);
    opened = std::move (d);
    return Outcome::success();
}

bool CodecDecoder::rewind()
{
    stream = std::make_unique<Stream>();
    pending.assign ((size_t) channels, {});
    pendingStart = 0;
    position = 0;
    return stream->open (file).isEmpty();
}

bool CodecDecoder::decodeMore()
{
    for (auto& p : pending)
        p.clear();
    pendingStart = 0;
    if (! stream->next())
        return false;
    const bool ok = stream->frame->ch_layout.nb_channels == channels && appendAsFloat (*stream->frame, channels, pending);
    av_frame_unref (stream->frame);
    return ok;
}

bool CodecDecoder::read (juce::AudioBuffer<float>& into, juce::int64 start, int numFrames)
{
    if (numFrames <= 0)
        return true;
    if (start < position && ! rewind())
        return false;
    int written = 0;
    while (written < numFrames)
    {
        const auto available = pending.empty() ? (size_t) 0 : pending[0].size() - pendingStart;
        if (available == 0)
        {
            if (! decodeMore())
                return false;
            continue;
        }
        const auto target = start + written;
        if (position < target) // skipping ahead
        {
            const auto skip = (size_t) std::min<juce::int64> ((juce::int64) available, target - position);
            pendingStart += skip;
            position += (juce::int64) skip;
            continue;
        }
        const int take = (int) std::min<size_t> (available, (size_t) (numFrames - written));
        for (int c = 0; c < channels; ++c)
            std::copy_n (pending[(size_t) c].data() + pendingStart, take, into.getWritePointer (c, written));
        pendingStart += (size_t) take;
        position += take;
        written += take;
    }
    return true;
}

//==============================================================================
namespace
{
// The 16-bit WAV writer under the common interface: the specified output, byte for byte.
class Wav16Output final : public AudioOutputWriter
{
public:
    explicit Wav16Output (std::unique_ptr<Wav16FileWriter> w) : writer (std::move (w)) {}
    bool write (const juce::AudioBuffer<float>& block, int numFrames) override { return writer->write (block, numFrames); }
    Outcome finish (in_flight_files::Target after) override { return writer->finish (after); }
    juce::File finishUnrenamed() override { return {}; } // never asked of the specified output

private:
    std::unique_ptr<Wav16FileWriter> writer;
};

// The temporary file under an AVIOContext: created through InFlightFiles (so
// an interrupted run removes it), seekable (MP4 and the MP3 Xing header are
// patched at the end).
struct TempFileIO
{
    std::unique_ptr<juce::FileOutputStream> out;
    AVIOContext* io = nullptr;
    bool failed = false;

    static int writePacket (void* opaque, uint8_t* buf, int size) // const in FFmpeg 6, not in 5.1
    {
        auto* self = static_cast<TempFileIO*> (opaque);
        if (! self->out->write (buf, (size_t) size))
        {
            self->failed = true;
            return AVERROR (EIO);
        }
        return size;
    }

    static int64_t seek (void* opaque, int64_t offset, int whence)
    {
        auto* self = static_cast<TempFileIO*> (opaque);
        whence &= ~AVSEEK_FORCE;
        if (whence == AVSEEK_SIZE)
            return -1;
        juce::int64 target = offset;
        if (whence == SEEK_CUR)
            target += self->out->getPosition();
        else if (whence != SEEK_SET)
            return -1;
        return self->out->setPosition (target) ? target : -1;
    }

    ~TempFileIO()
    {
        if (io != nullptr)
            av_freep (&io->buffer);
        avio_context_free (&io);
    }
};

class CodecOutput final : public AudioOutputWriter
{
public:
    CodecOutput (const juce::File& t) : target (t), temp (temporarySiblingFor (t)), inFlight (temp) {}

    ~CodecOutput() override
    {
        release();
        if (! keepTemp)
            temp.deleteFile();
    }

    juce::String open (const OutputFormat& format, double sampleRate, int numChannels, const AudioTags& tags)
    {
        if (const auto missing = libavMissing(); missing.isNotEmpty())
            return missing;
        silenceLibav();
        channels = numChannels;
        const char* encoderName = nullptr;
        const char* muxerName = nullptr;
        switch (format.codec)
        {
            case OutputCodec::flac: encoderName = "flac"; muxerName = "flac"; break;
            case OutputCodec::mp3:  encoderName = "libmp3lame"; muxerName = "mp3"; break;
            case OutputCodec::aac:  encoderName = "aac"; muxerName = "ipod"; break;
            case OutputCodec::opus: encoderName = "libopus"; muxerName = "opus"; break;
            case OutputCodec::wav:  encoderName = "pcm_f32le"; muxerName = "wav"; break;
        }
        if (format.codec == OutputCodec::mp3 && numChannels > 2)
            return "MP3 takes at most 2 channels, the recording has " + juce::String (numChannels);
        if (format.codec == OutputCodec::opus && numChannels > 8)
            return "Opus takes at most 8 channels, the recording has " + juce::String (numChannels);

        const AVCodec* encoder = avcodec_find_encoder_by_name (encoderName);
        if (encoder == nullptr)
            return juce::String ("this build has no ") + encoderName + " encoder";
        if (avformat_alloc_output_context2 (&muxer, nullptr, muxerName, nullptr) < 0 || muxer == nullptr)
            return juce::String ("this build has no ") + muxerName + " container";
        codec = avcodec_alloc_context3 (encoder);
        if (codec == nullptr)
            return "out of memory";

        const int bitDepth = format.bitDepth > 0 ? format.bitDepth : defaultBitDepth (format.codec);
        AVSampleFormat wanted = AV_SAMPLE_FMT_FLTP;
        switch (format.codec)
        {
            case OutputCodec::flac:
                wanted = bitDepth == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
                codec->bits_per_raw_sample = bitDepth;
                break;
            case OutputCodec::opus: wanted = AV_SAMPLE_FMT_FLT; break;
            case OutputCodec::wav:  wanted = AV_SAMPLE_FMT_FLT; break;
            default: break;
        }
        codec->sample_fmt = wanted;
        codec->sample_rate = codecSampleRate (format.codec, sampleRate);
        av_channel_layout_default (&codec->ch_layout, numChannels);
        if (format.isLossy())
            codec->bit_rate = (int64_t) (format.bitrateKbps > 0 ? format.bitrateKbps : defaultBitrateKbps (format.codec)) * 1000;
        codec->time_base = AVRational { 1, codec->sample_rate };
        if (muxer->oformat->flags & AVFMT_GLOBALHEADER)
            codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (format.codec == OutputCodec::mp3)
            av_opt_set_int (codec->priv_data, "abr", 0, 0); // constant bit rate
        if (const int opened = avcodec_open2 (codec, encoder, nullptr); opened < 0)
            return juce::String ("the ") + encoderName + " encoder refused the layout (" + juce::String (codec->sample_rate)
                   + " Hz, " + juce::String (numChannels) + " channels): " + avError (opened);

        stream = avformat_new_stream (muxer, nullptr);
        if (stream == nullptr || avcodec_parameters_from_context (stream->codecpar, codec) < 0)
            return "out of memory";
        stream->time_base = codec->time_base;
        setTag (&muxer->metadata, "title", tags.title);
        setTag (&muxer->metadata, "artist", tags.artist);
        setTag (&muxer->metadata, "album", tags.album);
        setTag (&muxer->metadata, "comment", tags.comment);

        file.out = in_flight_files::createFile (temp, 1 << 16);
        if (file.out == nullptr)
            return "the file could not be created";
        constexpr int ioBufferSize = 1 << 16;
        auto* buffer = (unsigned char*) av_malloc (ioBufferSize);
        file.io = avio_alloc_context (buffer, ioBufferSize, 1, &file, nullptr, &TempFileIO::writePacket, &TempFileIO::seek);
        if (file.io == nullptr)
            return "out of memory";
        file.io->seekable = AVIO_SEEKABLE_NORMAL;
        muxer->pb = file.io;
        if (const int written = avformat_write_header (muxer, nullptr); written < 0)
            return "the header could not be written: " + avError (written);
        headerWritten = true;

        AVChannelLayout inLayout;
        av_channel_layout_default (&inLayout, numChannels);
        const int made = swr_alloc_set_opts2 (&resampler, &codec->ch_layout, codec->sample_fmt, codec->sample_rate,
                                              &inLayout, AV_SAMPLE_FMT_FLTP, (int) std::lround (sampleRate), 0, nullptr);
        av_channel_layout_uninit (&inLayout);
        if (made < 0 || swr_init (resampler) < 0)
            return "the sample converter would not open";
        fifo = av_audio_fifo_alloc (codec->sample_fmt, numChannels, 1 << 14);
        frame = av_frame_alloc();
        packet = av_packet_alloc();
        if (fifo == nullptr || frame == nullptr || packet == nullptr)
            return "out of memory";
        frameSize = codec->frame_size > 0 ? codec->frame_size : variableFrameSize;
        return {};
    }

    bool write (const juce::AudioBuffer<float>& block, int numFrames) override
    {
        if (! ok || numFrames <= 0)
            return ok;
        std::vector<const uint8_t*> in ((size_t) channels);
        for (int c = 0; c < channels; ++c)
            in[(size_t) c] = reinterpret_cast<const uint8_t*> (block.getReadPointer (c));
        ok = convert (in.data(), numFrames) && drain (false);
        return ok;
    }

    Outcome finish (in_flight_files::Target after) override
    {
        const auto done = finishUnrenamed();
        if (done == juce::File())
            return Outcome::failure ("Failed to write output file: " + target.getFullPathName());
        if (! in_flight_files::renameIntoPlace (temp, target, after))
            return Outcome::failure ("Failed to create output file: " + target.getFullPathName());
        keepTemp = true; // renamed: it is the target now
        return Outcome::success();
    }

    juce::File finishUnrenamed() override
    {
        if (ok)
            ok = convert (nullptr, 0) && drain (true) && encode (nullptr);
        if (ok && headerWritten)
            ok = av_write_trailer (muxer) >= 0;
        if (ok)
        {
            file.out->flush();
            ok = ! file.failed && file.out->getStatus().wasOk();
        }
        release();
        if (! ok)
            return {};
        keepTemp = true; // the caller owns it now
        return temp;
    }

private:
    // Through the converter into the FIFO; in == nullptr flushes the converter.
    bool convert (const uint8_t** in, int numFrames)
    {
        const int room = swr_get_out_samples (resampler, numFrames) + 16;
        uint8_t** out = nullptr;
        if (av_samples_alloc_array_and_samples (&out, nullptr, channels, room, codec->sample_fmt, 0) < 0)
            return false;
        const int got = swr_convert (resampler, out, room, in, numFrames);
        const bool stored = got >= 0 && av_audio_fifo_write (fifo, (void**) out, got) == got;
        av_freep (&out[0]);
        av_freep (&out);
        return stored;
    }

    // Whole frames from the FIFO to the encoder; at the end, the last partial one too.
    bool drain (bool atEnd)
    {
        while (av_audio_fifo_size (fifo) >= frameSize || (atEnd && av_audio_fifo_size (fifo) > 0))
        {
            const int n = std::min (frameSize, av_audio_fifo_size (fifo));
            av_frame_unref (frame);
            frame->nb_samples = n;
            frame->format = codec->sample_fmt;
            frame->sample_rate = codec->sample_rate;
            if (av_channel_layout_copy (&frame->ch_layout, &codec->ch_layout) < 0 || av_frame_get_buffer (frame, 0) < 0
                || av_audio_fifo_read (fifo, (void**) frame->data, n) != n)
                return false;
            frame->pts = pts;
            pts += n;
            if (! encode (frame))
                return false;
        }
        return true;
    }

    bool encode (AVFrame* f)
    {
        if (avcodec_send_frame (codec, f) < 0)
            return false;
        for (;;)
        {
            const int got = avcodec_receive_packet (codec, packet);
            if (got == AVERROR (EAGAIN) || got == AVERROR_EOF)
                return true;
            if (got < 0)
                return false;
            av_packet_rescale_ts (packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            if (av_interleaved_write_frame (muxer, packet) < 0)
                return false;
        }
    }

    void release()
    {
        av_packet_free (&packet);
        av_frame_free (&frame);
        if (fifo != nullptr)
            av_audio_fifo_free (fifo);
        fifo = nullptr;
        swr_free (&resampler);
        avcodec_free_context (&codec);
        if (muxer != nullptr)
            muxer->pb = nullptr;
        avformat_free_context (muxer);
        muxer = nullptr;
        file.out.reset();
    }

    juce::File target, temp;
    in_flight_files::Scope inFlight;
    TempFileIO file;
    AVFormatContext* muxer = nullptr;
    AVStream* stream = nullptr;
    AVCodecContext* codec = nullptr;
    SwrContext* resampler = nullptr;
    AVAudioFifo* fifo = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    int channels = 0, frameSize = variableFrameSize;
    int64_t pts = 0;
    bool ok = true, headerWritten = false, keepTemp = false;
};

// WAV at 24 bits or 32-bit float, through JUCE's writer, under the same rule.
class WideWavOutput final : public AudioOutputWriter
{
public:
    WideWavOutput (const juce::File& t) : target (t), temp (temporarySiblingFor (t)), inFlight (temp) {}
    ~WideWavOutput() override
    {
        writer.reset();
        if (! keepTemp)
            temp.deleteFile();
    }

    bool open (double sampleRate, int numChannels, int bits)
    {
        auto stream = in_flight_files::createFile (temp, 32768);
        if (stream == nullptr)
            return false;
        juce::WavAudioFormat wav;
        writer.reset (wav.createWriterFor (stream.get(), sampleRate, (unsigned int) numChannels, bits, {}, 0));
        if (writer == nullptr)
            return false;
        stream.release();
        return true;
    }

    bool write (const juce::AudioBuffer<float>& block, int numFrames) override
    {
        if (numFrames > 0)
            ok = ok && writer->writeFromAudioSampleBuffer (block, 0, numFrames);
        return ok;
    }

    Outcome finish (in_flight_files::Target after) override
    {
        if (finishUnrenamed() == juce::File())
            return Outcome::failure ("Failed to write output file: " + target.getFullPathName());
        if (! in_flight_files::renameIntoPlace (temp, target, after))
            return Outcome::failure ("Failed to create output file: " + target.getFullPathName());
        return Outcome::success();
    }

    juce::File finishUnrenamed() override
    {
        ok = writer != nullptr && writer->flush() && ok;
        writer.reset();
        if (! ok)
            return {};
        keepTemp = true;
        return temp;
    }

private:
    juce::File target, temp;
    in_flight_files::Scope inFlight;
    std::unique_ptr<juce::AudioFormatWriter> writer;
    bool ok = true, keepTemp = false;
};
} // namespace

Outcome createOutputWriter (const juce::File& target, const OutputFormat& format, double sampleRate, int numChannels,
                            const AudioTags& tags, std::unique_ptr<AudioOutputWriter>& created)
{
    created.reset();
    if (format.isSpecifiedWav())
    {
        std::unique_ptr<Wav16FileWriter> w;
        if (const auto made = Wav16FileWriter::create (target, sampleRate, numChannels, w); ! made.ok())
            return made;
        created = std::make_unique<Wav16Output> (std::move (w));
        return Outcome::success();
    }
    if (format.codec == OutputCodec::wav)
    {
        auto w = std::make_unique<WideWavOutput> (target);
        if (! w->open (sampleRate, numChannels, format.bitDepth))
            return Outcome::failure ("Failed to create output file: " + target.getFullPathName());
        created = std::move (w);
        return Outcome::success();
    }
    auto w = std::make_unique<CodecOutput> (target);
    if (const auto why = w->open (format, sampleRate, numChannels, tags); why.isNotEmpty())
        return Outcome::failure ("Failed to create output file: " + target.getFullPathName() + " (" + why + ")");
    created = std::move (w);
    return Outcome::success();
}

} // namespace tessaloom
