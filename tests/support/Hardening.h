#pragma once

// Helpers of the hostile-input and fault tests: WAV files built byte by byte
// (so a header can say anything), a child process run with its peak memory
// measured and its limits set, and folder snapshots to prove inputs untouched.

#include "support/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <thread>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tessaloom
{

namespace hardening
{
using Bytes = std::vector<std::uint8_t>;

// Sanitized builds carry shadow memory and a quarantine of freed blocks, so
// their memory bounds get more room; the claims tested are about gigabytes.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long sanitizerSlackKb = 512 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr long sanitizerSlackKb = 512 * 1024;
#else
constexpr long sanitizerSlackKb = 0;
#endif
#else
constexpr long sanitizerSlackKb = 0;
#endif

inline bool builtWithSanitizer() { return sanitizerSlackKb > 0; }

// AddressSanitizer keeps freed blocks in a quarantine of up to 256 MB (its
// default quarantine_size_mb) before reusing them, so under it a long run's
// high-water mark climbs by that much with no leak at all.
#if defined(__SANITIZE_ADDRESS__)
constexpr long addressSanitizerQuarantineKb = 256 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr long addressSanitizerQuarantineKb = 256 * 1024;
#else
constexpr long addressSanitizerQuarantineKb = 0;
#endif
#else
constexpr long addressSanitizerQuarantineKb = 0;
#endif

inline void put16 (Bytes& b, std::uint32_t v)
{
    b.push_back ((std::uint8_t) v);
    b.push_back ((std::uint8_t) (v >> 8));
}

inline void put32 (Bytes& b, std::uint32_t v)
{
    put16 (b, v & 0xffff);
    put16 (b, v >> 16);
}

inline void putTag (Bytes& b, const char* tag) { b.insert (b.end(), tag, tag + 4); }

struct WavSpec
{
    int formatTag = 1;          // 1 PCM, 3 IEEE float
    int channels = 1;
    std::uint32_t sampleRate = 48000;
    int bits = 16;
    bool extensible = false;    // WAVE_FORMAT_EXTENSIBLE carrying formatTag as its sub-format
    std::int64_t declaredDataBytes = -1; // what the header claims; -1: the real size
};

// A RIFF/WAVE file of the given header and raw data bytes (no padding fix-ups:
// what is asked for is what is written).
inline Bytes wavBytes (const WavSpec& s, const Bytes& data)
{
    Bytes fmt;
    const int blockAlign = s.channels * (s.bits / 8);
    put16 (fmt, s.extensible ? 0xfffe : (std::uint32_t) s.formatTag);
    put16 (fmt, (std::uint32_t) s.channels);
    put32 (fmt, s.sampleRate);
    put32 (fmt, s.sampleRate * (std::uint32_t) blockAlign);
    put16 (fmt, (std::uint32_t) blockAlign);
    put16 (fmt, (std::uint32_t) s.bits);
    if (s.extensible)
    {
        put16 (fmt, 22);
        put16 (fmt, (std::uint32_t) s.bits);
        put32 (fmt, s.channels == 6 ? 0x3f : (s.channels == 2 ? 0x3 : 0x4));
        // KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT: the format tag, then the fixed GUID tail.
        const std::uint8_t tail[] = { 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                      0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71 };
        put16 (fmt, (std::uint32_t) s.formatTag);
        fmt.insert (fmt.end(), tail, tail + sizeof (tail));
    }

    const auto dataBytes = (std::uint32_t) (s.declaredDataBytes >= 0 ? s.declaredDataBytes : (std::int64_t) data.size());
    Bytes out;
    putTag (out, "RIFF");
    // A liar's RIFF size saturates rather than wrapping round to a small number.
    put32 (out, (std::uint32_t) std::min<std::uint64_t> (0xffffffffu, 4 + 8 + fmt.size() + 8 + (std::uint64_t) dataBytes));
    putTag (out, "WAVE");
    putTag (out, "fmt ");
    put32 (out, (std::uint32_t) fmt.size());
    out.insert (out.end(), fmt.begin(), fmt.end());
    putTag (out, "data");
    put32 (out, dataBytes);
    out.insert (out.end(), data.begin(), data.end());
    return out;
}

inline void putBig16 (Bytes& b, std::uint32_t v)
{
    b.push_back ((std::uint8_t) (v >> 8));
    b.push_back ((std::uint8_t) v);
}

inline void putBig32 (Bytes& b, std::uint32_t v)
{
    putBig16 (b, v >> 16);
    putBig16 (b, v & 0xffff);
}

// An AIFF file at 44.1 kHz whose COMM chunk says whatever is asked; data is
// raw, and with no data there is no SSND chunk at all (the frame count then
// stands as COMM claims it).
inline Bytes aiffBytes (int channels, std::uint32_t frames, std::uint32_t bitsField, const Bytes& data)
{
    Bytes comm;
    putBig16 (comm, (std::uint32_t) channels);
    putBig32 (comm, frames);
    putBig16 (comm, bitsField);
    const std::uint8_t rate44100[] = { 0x40, 0x0e, 0xac, 0x44, 0, 0, 0, 0, 0, 0 }; // 80-bit extended
    comm.insert (comm.end(), rate44100, rate44100 + sizeof (rate44100));

    Bytes body;
    putTag (body, "AIFF");
    putTag (body, "COMM");
    putBig32 (body, (std::uint32_t) comm.size());
    body.insert (body.end(), comm.begin(), comm.end());
    if (! data.empty())
    {
        putTag (body, "SSND");
        putBig32 (body, (std::uint32_t) (8 + data.size()));
        putBig32 (body, 0); // offset
        putBig32 (body, 0); // block size
        body.insert (body.end(), data.begin(), data.end());
    }

    Bytes out;
    putTag (out, "FORM");
    putBig32 (out, (std::uint32_t) body.size());
    out.insert (out.end(), body.begin(), body.end());
    return out;
}

// Interleaved samples of a buffer in the sample format of a WavSpec.
inline Bytes pcmBytes (const juce::AudioBuffer<float>& audio, int formatTag, int bits)
{
    Bytes b;
    for (int i = 0; i < audio.getNumSamples(); ++i)
        for (int c = 0; c < audio.getNumChannels(); ++c)
        {
            const float x = audio.getSample (c, i);
            if (formatTag == 3)
            {
                std::uint32_t u;
                std::memcpy (&u, &x, 4);
                put32 (b, u);
                continue;
            }
            const double clipped = juce::jlimit (-1.0, 1.0, (double) x);
            switch (bits)
            {
                case 8:  b.push_back ((std::uint8_t) juce::jlimit (0, 255, (int) std::lround (128.0 + clipped * 127.0))); break;
                case 16: put16 (b, (std::uint32_t) (std::int32_t) std::lround (clipped * 32767.0)); break;
                case 24:
                {
                    const auto v = (std::uint32_t) (std::int32_t) std::lround (clipped * 8388607.0);
                    b.push_back ((std::uint8_t) v);
                    b.push_back ((std::uint8_t) (v >> 8));
                    b.push_back ((std::uint8_t) (v >> 16));
                    break;
                }
                default: put32 (b, (std::uint32_t) (std::int32_t) std::llround (clipped * 2147483647.0)); break;
            }
        }
    return b;
}

inline void writeBytes (const juce::File& f, const Bytes& b)
{
    // Written in place: JUCE's replaceWithData goes through a longer temporary
    // name (too long for names near 255 bytes) and deletes the file for no data.
    f.deleteFile();
    std::ofstream out (f.getFullPathName().toStdString(), std::ios::binary);
    out.write (reinterpret_cast<const char*> (b.data()), (std::streamsize) b.size());
    out.close();
    ASSERT_TRUE (out.good() && f.existsAsFile()) << f.getFullPathName();
}

inline Bytes readBytes (const juce::File& f)
{
    juce::MemoryBlock mb;
    f.loadFileAsData (mb);
    const auto* p = static_cast<const std::uint8_t*> (mb.getData());
    return Bytes (p, p + mb.getSize());
}

// Every regular file under a folder with its bytes, by path relative to it.
inline std::map<std::string, Bytes> snapshot (const juce::File& folder)
{
    std::map<std::string, Bytes> files;
    for (auto& f : folder.findChildFiles (juce::File::findFiles, true, "*", juce::File::FollowSymlinks::no))
    {
        // Pipes and links to devices are recorded by name only: reading them would block or never end.
        std::error_code ec;
        const bool regular = std::filesystem::symlink_status (f.getFullPathName().toStdString(), ec).type()
                             == std::filesystem::file_type::regular;
        files[f.getRelativePathFrom (folder).toStdString()] = regular ? readBytes (f) : Bytes { 0xee };
    }
    return files;
}

// Names under a folder that only an unfinished write leaves: temporary
// ".<name>.partial-*" files.
inline std::vector<std::string> partialFiles (const juce::File& folder)
{
    std::vector<std::string> names;
    for (auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*", juce::File::FollowSymlinks::no))
        if (f.getFileName().startsWith (".") && f.getFileName().contains (".partial-"))
            names.push_back (f.getFullPathName().toStdString());
    return names;
}

inline std::vector<std::string> workFolders (const juce::File& folder)
{
    std::vector<std::string> names;
    for (auto& f : folder.findChildFiles (juce::File::findDirectories, true, "_work_*", juce::File::FollowSymlinks::no))
        names.push_back (f.getFullPathName().toStdString());
    return names;
}

struct ChildOptions
{
    long fileSizeLimitBytes = -1; // RLIMIT_FSIZE, with SIGXFSZ ignored so writes fail with EFBIG
    double timeoutSeconds = 300;  // then the child is killed (exit code 128 + SIGKILL)
    std::string workingDir;       // empty: the test's own
    // Standard error a pipe whose reader is already gone (a log piped into a
    // program that quit), with SIGPIPE at its default as a shell leaves it.
    bool stderrToClosedPipe = false;
};

struct ChildRun
{
    int exitCode = -1;      // 128 + signal when killed
    std::string out, err;
    long peakRssKb = 0;
    bool errContains (const std::string& t) const { return err.find (t) != std::string::npos; }
};

// A started child whose output goes to files; finish() waits and collects.
class Child
{
public:
    Child (const std::string& executable, const std::vector<std::string>& arguments, const ChildOptions& limits = {})
    {
        outPath = captures.file ("stdout").getFullPathName().toStdString();
        errPath = captures.file ("stderr").getFullPathName().toStdString();

        std::vector<std::string> args { executable };
        args.insert (args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back (const_cast<char*> (a.c_str()));
        argv.push_back (nullptr);

        timeout = limits.timeoutSeconds;
        int deadPipe[2] = { -1, -1 };
        if (limits.stderrToClosedPipe && pipe (deadPipe) == 0)
            close (deadPipe[0]);
        pid = fork();
        if (pid == 0)
        {
            // Only async-signal-safe calls between fork and exec.
            const int in = open ("/dev/null", O_RDONLY);
            const int out = open (outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = deadPipe[1] >= 0 ? deadPipe[1] : open (errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2 (in, 0);
            dup2 (out, 1);
            dup2 (err, 2);
            // A test run from a background job inherits SIGINT and SIGHUP
            // ignored, and an ignored signal stays ignored across exec: the
            // engine would then never see the interrupts the tests send it.
            signal (SIGINT, SIG_DFL);
            signal (SIGHUP, SIG_DFL);
            signal (SIGTERM, SIG_DFL);
            if (limits.stderrToClosedPipe)
                signal (SIGPIPE, SIG_DFL);
            if (limits.fileSizeLimitBytes >= 0)
            {
                signal (SIGXFSZ, SIG_IGN); // an ignored signal stays ignored across exec
                rlimit rl { (rlim_t) limits.fileSizeLimitBytes, (rlim_t) limits.fileSizeLimitBytes };
                setrlimit (RLIMIT_FSIZE, &rl);
            }
            if (! limits.workingDir.empty() && chdir (limits.workingDir.c_str()) != 0)
                _exit (126);
            execv (executable.c_str(), argv.data());
            _exit (127);
        }
        if (deadPipe[1] >= 0)
            close (deadPipe[1]);
    }

    pid_t id() const { return pid; }

    ChildRun finish()
    {
        ChildRun r;
        int status = 0;
        rusage usage {};
        // A hung child is killed at the deadline, so a hang fails a test instead of stalling the suite.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double> (timeout);
        pid_t done = 0;
        while (pid > 0 && (done = wait4 (pid, &status, WNOHANG, &usage)) == 0)
        {
            if (std::chrono::steady_clock::now() > deadline)
            {
                kill (pid, SIGKILL);
                done = wait4 (pid, &status, 0, &usage);
                break;
            }
            usleep (2000);
        }
        if (pid > 0 && done == pid)
        {
            r.exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : 128 + WTERMSIG (status);
            r.peakRssKb = usage.ru_maxrss;
        }
        pid = -1;
        r.out = slurp (outPath);
        r.err = slurp (errPath);
        return r;
    }

    ~Child()
    {
        if (pid > 0)
        {
            kill (pid, SIGKILL);
            waitpid (pid, nullptr, 0);
        }
    }

private:
    static std::string slurp (const std::string& path)
    {
        std::ifstream f (path, std::ios::binary);
        std::ostringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    testing_support::TempFolder captures;
    std::string outPath, errPath;
    pid_t pid = -1;
    double timeout = 300;
};

inline ChildRun runChild (const std::string& executable, const std::vector<std::string>& arguments,
                          const ChildOptions& limits = {})
{
    Child c (executable, arguments, limits);
    return c.finish();
}

inline std::string summaryLine (int ok, int failed)
{
    return "{\"status\":\"batch_complete\",\"success\":" + std::to_string (ok) + ",\"failed\":" + std::to_string (failed)
           + "}\n";
}
// A process that has ended, whether or not its parent has reaped it yet
// (an orphan waits for the system's first process to reap it).
inline bool processGone (pid_t pid)
{
    if (::kill (pid, 0) != 0)
        return errno == ESRCH;
    std::ifstream stat ("/proc/" + std::to_string (pid) + "/stat");
    std::string text ((std::istreambuf_iterator<char> (stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind (')');
    return close == std::string::npos || text.substr (close + 2, 1) == "Z";
}

// Whether the process ends within a minute; a killed process takes a moment to go.
inline bool endsSoon (pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (60);
    while (! processGone (pid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for (std::chrono::milliseconds (10));
    return processGone (pid);
}

} // namespace hardening

} // namespace tessaloom
