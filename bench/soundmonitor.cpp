#include "soundmonitor.h"

#include "precisetimer.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace bench {

namespace {

// 32 frames a read (0.7 ms): the server sends fragments of that size as the sink renders.
constexpr std::size_t kReadFrames = 32;


} // namespace

SoundMonitor::~SoundMonitor()
{
    stop();
}

bool SoundMonitor::start(const QString &source, QString *error, int quantum)
{
    stop();
    if (source.startsWith(QLatin1String(kPipeWirePrefix))) {
        rate_ = kPipeWireRate;
        running_ = true;
        return capture_.start(source.mid(int(std::strlen(kPipeWirePrefix))), rate_, quantum,
                              [this](const float *samples, std::size_t count, std::int64_t arrival,
                                     std::int64_t cycle) { append(samples, count, arrival, cycle); },
                              error);
    }
    rate_ = kPulseRate;
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(rate_), 1};
    const pa_buffer_attr attr{static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                              static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                              static_cast<std::uint32_t>(kReadFrames * sizeof(float))};
    int err = 0;
    const QByteArray device = source.toUtf8();
    stream_ = pa_simple_new(nullptr, "pianobench", PA_STREAM_RECORD, device.constData(), "monitor", &format, nullptr,
                            &attr, &err);
    if (stream_ == nullptr) {
        if (error != nullptr)
            *error = QStringLiteral("cannot record %1: %2").arg(source, QString::fromUtf8(pa_strerror(err)));
        return false;
    }
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void SoundMonitor::stop()
{
    capture_.stop();
    running_ = false;
    if (thread_.joinable())
        thread_.join();
    if (stream_ != nullptr) {
        pa_simple_free(stream_);
        stream_ = nullptr;
    }
}

void SoundMonitor::run()
{
    float buffer[kReadFrames];
    while (running_) {
        int err = 0;
        if (pa_simple_read(stream_, buffer, sizeof buffer, &err) < 0)
            break;
        append(buffer, kReadFrames, song::steadyNow());
    }
    running_ = false;
    arrived_.notify_all();
}

void SoundMonitor::append(const float *samples, std::size_t count, std::int64_t arrival, std::int64_t cycle)
{
    {
        const std::lock_guard lock(mutex_);
        if (cycle != 0)
            cycles_.emplace_back(samples_.size(), cycle);
        samples_.insert(samples_.end(), samples, samples + count);
        reads_.emplace_back(samples_.size(), arrival);
    }
    arrived_.notify_all();
}

std::size_t SoundMonitor::size() const
{
    const std::lock_guard lock(mutex_);
    return samples_.size();
}

std::vector<float> SoundMonitor::samples(std::size_t from, std::size_t to) const
{
    const std::lock_guard lock(mutex_);
    to = std::min(to, samples_.size());
    if (from >= to)
        return {};
    return {samples_.begin() + std::ptrdiff_t(from), samples_.begin() + std::ptrdiff_t(to)};
}

std::int64_t SoundMonitor::arrivalNs(std::size_t index) const
{
    const std::lock_guard lock(mutex_);
    const auto read = std::upper_bound(reads_.begin(), reads_.end(), index,
                                       [](std::size_t i, const auto &r) { return i < r.first; });
    return read == reads_.end() ? -1 : read->second;
}

std::int64_t SoundMonitor::fittedNs(std::size_t index) const
{
    const std::lock_guard lock(mutex_);
    return timeOf(index);
}

std::size_t SoundMonitor::indexAt(std::int64_t ns) const
{
    const std::lock_guard lock(mutex_);
    std::size_t lo = 0, hi = samples_.size();
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (timeOf(mid) < ns)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// With the lock held.
std::int64_t SoundMonitor::timeOf(std::size_t index) const
{
    if (!cycles_.empty()) {
        auto cycle = std::upper_bound(cycles_.begin(), cycles_.end(), index,
                                      [](std::size_t i, const auto &c) { return i < c.first; });
        if (cycle != cycles_.begin())
            --cycle;
        return cycle->second + std::int64_t(index - cycle->first) * 1'000'000'000 / rate_;
    }
    if (reads_.size() < 2)
        return reads_.empty() ? -1 : reads_.front().second;
    // Relative to the first read, so the sums stay well within a double's precision.
    const double x0 = double(reads_.front().first);
    const double y0 = double(reads_.front().second);
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto &[end, arrival] : reads_) {
        const double x = double(end) - x0, y = double(arrival) - y0;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double n = double(reads_.size());
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double intercept = (sy - slope * sx) / n;
    return std::int64_t(y0 + intercept + slope * (double(index) - x0));
}

std::int64_t SoundMonitor::waitFor(float level, std::size_t from, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    std::size_t next = from;
    while (true) {
        for (; next < samples_.size(); ++next) {
            if (std::fabs(samples_[next]) >= level)
                return std::int64_t(next);
        }
        if (!running_ || arrived_.wait_until(lock, deadline) == std::cv_status::timeout)
            return -1;
    }
}

bool SoundMonitor::waitQuiet(float level, std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) const
{
    const std::size_t needed = std::size_t(quiet.count()) * std::size_t(rate_) / 1000;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    while (true) {
        std::size_t run = 0;
        for (auto it = samples_.rbegin(); it != samples_.rend() && std::fabs(*it) < level && run < needed; ++it)
            ++run;
        if (run >= needed)
            return true;
        if (!running_ || arrived_.wait_until(lock, deadline) == std::cv_status::timeout)
            return false;
    }
}

bool SoundMonitor::waitSize(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return samples_.size() >= count || !running_; })
           && samples_.size() >= count;
}

std::size_t SoundMonitor::firstArrivedAfter(std::int64_t ns) const
{
    const std::lock_guard lock(mutex_);
    const auto read = std::upper_bound(reads_.begin(), reads_.end(), ns,
                                       [](std::int64_t t, const auto &r) { return t < r.second; });
    if (read == reads_.end())
        return samples_.size();
    return read == reads_.begin() ? 0 : std::prev(read)->first;
}

int dropouts(const std::vector<float> &samples, int rate)
{
    int runs = 0;
    int quiet = 0;
    for (float sample : samples) {
        quiet = std::fabs(sample) < 1e-6f ? quiet + 1 : 0;
        if (quiet == rate / 1000)
            ++runs;
    }
    return runs;
}

} // namespace bench
