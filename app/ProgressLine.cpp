#include "app/ProgressLine.h"

#include "io/NativeNames.h"

#include <cmath>
#include <cstdio>
#include <iostream>

#include <unistd.h>

namespace tessaloom
{

namespace progress
{
juce::String clock (double seconds)
{
    const auto s = (long long) std::llround (std::max (0.0, seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf (text, sizeof (text), "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf (text, sizeof (text), "%lld:%02lld", s / 60, s % 60);
    return text;
}

ProgressLine::ProgressLine (int numFiles)
    : total (numFiles), startMs (juce::Time::getMillisecondCounterHiRes()), previous (juce::Logger::getCurrentLogger())
{
    juce::Logger::setCurrentLogger (this);
    {
        const std::lock_guard<std::mutex> guard (lock);
        draw();
    }
    ticker = std::thread ([this]
    {
        std::unique_lock<std::mutex> guard (lock);
        while (! stopping)
            if (! wake.wait_for (guard, std::chrono::seconds (1), [this] { return stopping; }))
                draw();
    });
}

ProgressLine::~ProgressLine()
{
    {
        const std::lock_guard<std::mutex> guard (lock);
        stopping = true;
        std::cerr << "\r\033[K" << std::flush;
    }
    wake.notify_all();
    ticker.join();
    juce::Logger::setCurrentLogger (previous);
}

void ProgressLine::fileFinished (bool ok)
{
    const std::lock_guard<std::mutex> guard (lock);
    ++done;
    failed += ok ? 0 : 1;
    draw();
}

void ProgressLine::logMessage (const juce::String& message)
{
    const std::lock_guard<std::mutex> guard (lock);
    std::cerr << "\r\033[K" << native_names::shownText (message).toStdString() << "\n";
    draw();
}

void ProgressLine::draw()
{
    const double elapsed = (juce::Time::getMillisecondCounterHiRes() - startMs) / 1000.0;
    juce::String text;
    text << done << " of " << total << " files done";
    if (failed > 0)
        text << " (" << failed << " failed)";
    text << ", " << clock (elapsed) << " elapsed";
    if (done > 0 && done < total)
        text << ", about " << clock (elapsed / done * (total - done)) << " left";
    std::cerr << "\r\033[K" << text.toStdString() << std::flush;
}

std::unique_ptr<ProgressLine> onTerminal (int numFiles)
{
    if (isatty (STDERR_FILENO) != 1)
        return nullptr;
    return std::make_unique<ProgressLine> (numFiles);
}
} // namespace progress

} // namespace tessaloom
