#pragma once

// Plays the demo song: one step of the song file per 150 ms tick, each step pressing
// keys through the same action the mouse uses.

#include "precisetimer.h"

#include <QObject>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace song {

// What the player drives; the window implements it.
class Piano
{
public:
    virtual ~Piano() = default;
    // Selects an entry of the device list; its handler runs when the selection changes.
    virtual void selectDevice(int entry) = 0;
    // Selects an entry of the instrument list and sends it, even when it was selected
    // already. Returns false, changing nothing, when there is no such entry.
    virtual bool selectInstrument(int entry) = 0;
    // Sets the transposition scroll bar; its handler runs when the value changes.
    virtual void setTransposition(int value) = 0;
    // The key-over action for key index 0..64.
    virtual void keyOver(int key) = 0;
    // Marks the keyboard released, so the next key-over strikes anew.
    virtual void setReleased() = 0;
    // The mute pad's action.
    virtual void mutePad() = 0;
    virtual void setPlayEnabled(bool enabled) = 0;
    // A modal message box with the program's title.
    virtual void showError(const QString &text) = 0;
    // The notes the actions above send from now on are due at `dueNs` on the player's
    // clock, 0 for as soon as possible.
    virtual void setDueTime(std::int64_t dueNs) = 0;
    // How long before its due time a step must be played for the output to place its
    // notes at that time.
    virtual std::int64_t stepLeadNs() = 0;
};

// Monotonic time in nanoseconds. The timer is set for deadlines read off this clock,
// so anything but steadyNow() suits only tests that tick the player themselves.
using Clock = std::function<std::int64_t()>;

inline constexpr int kStepMs = 150;
inline constexpr int kSongInstrument = 9;
inline constexpr int kSongTransposition = 32;

class SongPlayer : public QObject
{
    Q_OBJECT
public:
    SongPlayer(Piano &piano, QString songPath, Clock clock = steadyNow, QObject *parent = nullptr);

    // Reads the whole song, then selects device 0, instrument 9 and transposition 32 and
    // starts the steps. A song that cannot be read shows one error and changes nothing;
    // a call while playing is ignored.
    void play();
    // Plays the next step; the timer calls it the output's lead before the step is due,
    // and the step's notes carry their due time. Step k is due k * kStepMs after the
    // start; a tick a whole step late or more plays at once and the grid starts again
    // from it. The last line, or "End", stops the timer, enables the button and runs the
    // mute pad.
    void step();

    // Stops at once, sending nothing: the program is ending.
    void stop();

    bool isPlaying() const;
    // When the timer was last set to fire, on the clock's scale: the next step's due time
    // less the output's lead. For tests and benchmarks.
    std::int64_t nextDeadlineNs() const;

private:
    // When the step after the last one played is due on the grid.
    std::int64_t nextDueNs() const;
    bool playStep();
    void scheduleNextStep();
    void finish();

    Piano &m_piano;
    const QString m_songPath;
    const Clock m_clock;
    PreciseTimer *const m_timer;
    QStringList m_lines;     // the song, held only while it plays
    qsizetype m_nextLine = 0;
    bool m_playing = false;
    // Step k after the anchor is due at m_anchorNs + k * kStepMs, so late ticks never add up.
    std::int64_t m_anchorNs = 0;
    std::int64_t m_stepsSinceAnchor = 0;
    std::int64_t m_nextDeadlineNs = 0;
};

} // namespace song
