// Plays the shipped demo song in real time and measures each step against its grid
// of 150 ms from the moment the song started. The error is a step's time minus its
// grid time, the drift that of the last step; both ms.
//
// Usage: song_timing [song file]   (default: data/haap.txt of the source tree)

#include "songplayer.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr double kNsPerMs = 1e6;

// Notes when each step happens: at its first key press, or for a step that presses
// no key, at the release mark every step ends with.
class TimingPiano : public song::Piano
{
public:
    std::vector<std::int64_t> stepTimes;
    std::int64_t beforeStart = 0;  // just before the player takes its start time
    std::int64_t afterStart = 0;   // just after
    bool failed = false;

    void selectDevice(int) override {}
    bool selectInstrument(int) override { return true; }
    void setTransposition(int) override { beforeStart = song::steadyNow(); }
    void keyOver(int) override { markStep(); }
    void setReleased() override
    {
        markStep();
        m_stepMarked = false;
    }
    void mutePad() override { QCoreApplication::quit(); }
    void setPlayEnabled(bool enabled) override
    {
        if (!enabled)
            afterStart = song::steadyNow();
    }
    void setDueTime(std::int64_t) override {}
    std::int64_t stepLeadNs() override { return 0; }
    void showError(const QString &text) override
    {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        failed = true;
        QCoreApplication::exit(1);
    }

private:
    void markStep()
    {
        if (!m_stepMarked)
            stepTimes.push_back(song::steadyNow());
        m_stepMarked = true;
    }
    bool m_stepMarked = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString path = args.size() > 1 ? args.at(1) : QStringLiteral(TIRREL_SOURCE_DIR "/data/haap.txt");

    TimingPiano piano;
    song::SongPlayer player(piano, path);
    QTimer::singleShot(0, &player, &song::SongPlayer::play);
    const int status = app.exec();
    if (status != 0 || piano.failed || piano.stepTimes.empty())
        return 1;

    // The player's start time lies between these two marks, a few microseconds apart.
    double anchorMs = double(piano.afterStart) / kNsPerMs;
    int stepsSinceAnchor = 0;
    int restarts = 0;
    double maxError = 0;
    double sumAbsError = 0;
    double lastError = 0;
    int stepsOverOneMs = 0;
    std::vector<double> absErrors;
    for (const std::int64_t timeNs : piano.stepTimes) {
        const double timeMs = double(timeNs) / kNsPerMs;
        const double errorMs = timeMs - (anchorMs + (stepsSinceAnchor + 1) * song::kStepMs);
        maxError = std::max(maxError, std::abs(errorMs));
        sumAbsError += std::abs(errorMs);
        lastError = errorMs;
        absErrors.push_back(std::abs(errorMs));
        if (std::abs(errorMs) > 1.0)
            ++stepsOverOneMs;
        // The player starts its grid again after a stall of a whole step; so does the
        // yardstick, or one stall would count against every later step.
        if (errorMs >= song::kStepMs) {
            ++restarts;
            anchorMs = timeMs;
            stepsSinceAnchor = 0;
        } else {
            ++stepsSinceAnchor;
        }
    }

    std::printf("song_steps: %zu\n", piano.stepTimes.size());
    std::printf("song_max_step_error_ms: %.3f\n", maxError);
    std::printf("song_drift_ms: %.3f\n", lastError);
    std::printf("song_mean_abs_error_ms: %.3f\n", sumAbsError / double(piano.stepTimes.size()));
    // One stray stall of the machine sets the maximum; the 99th percentile shows whether it stood alone.
    std::sort(absErrors.begin(), absErrors.end());
    std::printf("song_p99_abs_error_ms: %.3f\n", absErrors[(absErrors.size() * 99 + 99) / 100 - 1]);
    std::printf("song_steps_off_by_over_1ms: %d\n", stepsOverOneMs);
    std::printf("song_grid_restarts: %d\n", restarts);
    std::printf("song_start_uncertainty_ms: %.3f\n", double(piano.afterStart - piano.beforeStart) / kNsPerMs);
    return 0;
}
