#pragma once

#include <QElapsedTimer>
#include <QObject>

class DropDownList;
class QTimer;

namespace midi {
class MidiOut;
}

// Keeps the device list in step with the system's outputs while the program runs. News of
// a change waits for the rest of its burst and for the drop-down to close; opening the
// list looks for what nothing announces and fills it anew before it shows. A refresh keeps
// the selected entry, found again by its name, and never runs the click handler: the open
// device stays open and no note is cut.
class DeviceListUpdater : public QObject
{
    Q_OBJECT
public:
    // Starts watching at once: outputs still being looked for join the list as they are found.
    DeviceListUpdater(midi::MidiOut &midi, DropDownList &list, QObject *parent);

    // Fills the list from the latest numbering of the devices, keeping the selection.
    void refresh();

private:
    void changed();
    void settled();
    void droppingDown();
    void closedUp();
    void chosen();

    midi::MidiOut &midi_;
    DropDownList &list_;
    QTimer *settle_;
    QElapsedTimer burst_;
    bool pending_ = false;       // a refresh waits for the drop-down to close
    bool keptVanished_ = false;  // the selected entry names a device the system no longer has
};
