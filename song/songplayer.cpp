#include "songplayer.h"

#include "stepvalue.h"
#include "textfile.h"

#include <algorithm>
#include <chrono>

namespace song {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kStepNs = kStepMs * kNsPerMs;
constexpr int kSongDevice = 0;

} // namespace

std::int64_t steadyNow()
{
    const auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count();
}

SongPlayer::SongPlayer(Piano &piano, QString songPath, Clock clock, QObject *parent)
    : QObject(parent)
    , m_piano(piano)
    , m_songPath(std::move(songPath))
    , m_clock(clock ? std::move(clock) : Clock(steadyNow))
    , m_timer(new QTimer(this))
{
    // One shot, re-armed after each step for the time left to the next grid point: a
    // periodic timer would carry each tick's lateness into all the ticks after it.
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &SongPlayer::Timer2_Timer);
}

void SongPlayer::Command2_Click()
{
    if (m_playing)
        return;
    // The whole song is read now and the file closed, so the song is never open at
    // the same time as the instrument file and a failure shows before anything changes.
    text::ReadResult song = text::readFile(m_songPath);
    if (!song.ok) {
        m_piano.showError(song.error);
        return;
    }
    m_lines = std::move(song.lines);
    m_nextLine = 0;
    // Set before the calls below: an error box they open runs a nested event loop, in
    // which a second click on the still enabled button must be ignored.
    m_playing = true;

    m_piano.selectDevice(kSongDevice);
    // Without that entry the song plays with the instrument as it is.
    m_piano.selectInstrument(kSongInstrument);
    m_piano.setTransposition(kSongTransposition);

    m_anchorNs = m_clock();
    m_stepsSinceAnchor = 0;
    m_nextIntervalMs = kStepMs;
    m_timer->start(m_nextIntervalMs);
    m_piano.setPlayEnabled(false);
}

void SongPlayer::Timer2_Timer()
{
    if (!m_playing)
        return;
    if (m_nextLine >= m_lines.size()) {
        // A song without "End" stops the same way.
        finish();
        return;
    }
    const Step step = parseStep(m_lines.at(m_nextLine++));
    if (step.kind == StepKind::End) {
        finish();
        return;
    }

    const std::int64_t now = m_clock();
    const std::int64_t due = m_anchorNs + (m_stepsSinceAnchor + 1) * kStepNs;
    if (now - due >= kStepNs) {
        // The tick came a whole step late or more (a busy machine, a modal box): play
        // this step now and count the grid from it, rather than rushing through the
        // steps that were due meanwhile.
        m_anchorNs = now;
        m_stepsSinceAnchor = 0;
    } else {
        ++m_stepsSinceAnchor;
    }

    if (step.kind == StepKind::Note) {
        m_piano.keyOver(step.lowKey());
        m_piano.keyOver(step.highKey());
    }
    m_piano.setReleased();
    scheduleNextStep();
}

void SongPlayer::stop()
{
    m_timer->stop();
    m_playing = false;
    m_lines = {};
    m_nextLine = 0;
}

bool SongPlayer::isPlaying() const
{
    return m_playing;
}

int SongPlayer::nextIntervalMs() const
{
    return m_nextIntervalMs;
}

void SongPlayer::scheduleNextStep()
{
    // Measured after the step's key presses, whose MIDI output takes time of its own.
    const std::int64_t due = m_anchorNs + (m_stepsSinceAnchor + 1) * kStepNs;
    const std::int64_t remainingNs = due - m_clock();
    // Rounded to the nearest millisecond, QTimer's unit, so a step is at most half a
    // millisecond early or late on that account.
    const std::int64_t remainingMs = (remainingNs + kNsPerMs / 2) / kNsPerMs;
    m_nextIntervalMs = int(std::clamp<std::int64_t>(remainingMs, 0, kStepMs));
    m_timer->start(m_nextIntervalMs);
}

void SongPlayer::finish()
{
    stop();
    m_piano.setPlayEnabled(true);
    m_piano.mutePad();
}

} // namespace song
