#include "MonitorRecorder.h"

#include "PulseServer.h"
#include "TestSupport.h"

#include <sys/stat.h>

#include <bit>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

constexpr size_t kFrameSize = PulseServer::kChannels * sizeof(float);

std::vector<std::string> ParecCommand(const PulseServer& server, const std::string& path,
    std::optional<uint32_t> stream)
{
    // A short latency makes parec write often, so the file tracks the sink.
    return { "parec",
        stream ? "--monitor-stream=" + std::to_string(*stream) : "--device=" + server.MonitorName(),
        "--format=float32le", "--rate=" + std::to_string(PulseServer::kFrameRate),
        "--channels=" + std::to_string(PulseServer::kChannels), "--raw", "--latency-msec=10", path };
}

} // namespace

MonitorRecorder::MonitorRecorder(const PulseServer& server, const std::string& path,
    std::optional<uint32_t> stream, std::chrono::milliseconds startTimeout)
    : fPath(path), fLogPath(path + ".log"), fParec(ParecCommand(server, path, stream), server.ClientEnvironment(), fLogPath)
{
    auto deadline = std::chrono::steady_clock::now() + startTimeout;
    while (Frames() == 0) {
        if (!fParec.IsRunning())
            throw std::runtime_error("parec exited at start: " + ReadFile(fLogPath));
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("parec recorded nothing in time: " + ReadFile(fLogPath));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

MonitorRecorder::~MonitorRecorder()
{
    Stop();
}

size_t MonitorRecorder::Frames() const
{
    struct stat info {};
    if (stat(fPath.c_str(), &info) != 0)
        return 0;
    return static_cast<size_t>(info.st_size) / kFrameSize;
}

bool MonitorRecorder::WaitForFrames(size_t frames, std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Frames() < frames) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void MonitorRecorder::Stop()
{
    // SIGINT is what parec expects to end a recording; it disconnects and
    // quits rather than dying mid-write.
    fParec.Stop(SIGINT);
}

std::vector<float> MonitorRecorder::Samples() const
{
    static_assert(std::endian::native == std::endian::little, "the file holds float32le");
    std::string bytes = ReadFile(fPath);
    std::vector<float> samples(bytes.size() / kFrameSize * PulseServer::kChannels);
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}
