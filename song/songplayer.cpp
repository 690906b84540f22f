#include "songplayer.h"

#include "stepvalue.h"
#include "textfile.h"

#include <algorithm>

namespace song {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kStepNs = kStepMs * kNsPerMs;
constexpr int kSongDevice = 0;

} // namespace

SongPlayer::SongPlayer(Piano &piano, QString songPath, Clock clock, QObject *parent)
    : QObject(parent)
    , m_piano(piano)
    , m_songPath(std::move(songPath))
    , m_clock(clock ? std::move(clock) : Clock(steadyNow))
    , m_timer(new PreciseTimer(this))
{
    // One shot, re-armed after each step for the next grid point: a periodic timer
    // would carry each tick's lateness into all the ticks after it.
    connect(m_timer, &PreciseTimer::timeout, this, &SongPlayer::step);
}

void SongPlayer::play()
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
    scheduleNextStep();
    m_piano.setPlayEnabled(false);
}

void SongPlayer::step()
{
    if (!m_playing)
        return;
    std::int64_t due = nextDueNs();
    const std::int64_t now = m_clock();
    if (now - due >= kStepNs) {
        // The tick came a whole step late or more (a busy machine, a modal box): play
        // this step now and count the grid from it, rather than rushing through the
        // steps that were due meanwhile.
        m_anchorNs = now;
        m_stepsSinceAnchor = 0;
        due = now;
    } else {
        ++m_stepsSinceAnchor;
    }
    // The step's notes, the mute pad's at the end included, sound at the step's time.
    m_piano.setDueTime(due);
    const bool more = playStep();
    m_piano.setDueTime(0);
    if (more)
        scheduleNextStep();
}

// False once the song has ended.
bool SongPlayer::playStep()
{
    // A song without "End" stops the same way.
    const Step step = m_nextLine < m_lines.size() ? parseStep(m_lines.at(m_nextLine++)) : Step{StepKind::End};
    if (step.kind == StepKind::End) {
        finish();
        return false;
    }
    if (step.kind == StepKind::Note) {
        m_piano.keyOver(step.lowKey());
        m_piano.keyOver(step.highKey());
    }
    m_piano.setReleased();
    return true;
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

std::int64_t SongPlayer::nextDeadlineNs() const
{
    return m_nextDeadlineNs;
}

std::int64_t SongPlayer::nextDueNs() const
{
    return m_anchorNs + (m_stepsSinceAnchor + 1) * kStepNs;
}

void SongPlayer::scheduleNextStep()
{
    // The grid time itself, not a wait measured from now: the time the step's key
    // presses took, and any lateness of this tick, come off the wait by themselves. The
    // output asks for its lead, at most its period; never more than half a step.
    const std::int64_t lead = std::clamp<std::int64_t>(m_piano.stepLeadNs(), 0, kStepNs / 2);
    m_nextDeadlineNs = nextDueNs() - lead;
    m_timer->start(m_nextDeadlineNs);
}

void SongPlayer::finish()
{
    stop();
    m_piano.setPlayEnabled(true);
    m_piano.mutePad();
}

} // namespace song
