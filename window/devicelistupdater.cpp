#include "devicelistupdater.h"

#include "dropdownlist.h"
#include "midi/midiout.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

// A synthesizer registers its ports one by one, a USB interface announces a client and then
// its ports: such a burst is over once nothing has come for a moment. A stream of news that
// never pauses still refreshes the list this often.
constexpr int kQuietMs = 50;
constexpr int kLongestWaitMs = 500;

// The names and item values a fill gives, before they go into the list at once.
struct Entries final : midi::DeviceList
{
    QStringList texts;
    QList<std::int16_t> values;

    void clear() override
    {
        texts.clear();
        values.clear();
    }
    void addItem(const QString &text) override
    {
        texts << text;
        values << 0;
    }
    int newIndex() const override { return int(texts.size()) - 1; }
    void setItemData(int index, std::int16_t value) override { values[index] = value; }
    std::int16_t itemData(int index) const override { return values.at(index); }
};

// Where the `rank`-th entry named `name` (0 the first) is, or the last of that name where
// there are fewer: names are cut to 31 characters, so two ports may show the same.
int findByName(const QStringList &texts, const QString &name, int rank)
{
    int found = -1;
    for (int i = 0; i < texts.size(); ++i) {
        if (texts.at(i) != name)
            continue;
        found = i;
        if (rank-- == 0)
            break;
    }
    return found;
}

} // namespace

DeviceListUpdater::DeviceListUpdater(midi::MidiOut &midi, DropDownList &list, QObject *parent)
    : QObject(parent)
    , midi_(midi)
    , list_(list)
    , settle_(new QTimer(this))
{
    settle_->setSingleShot(true);
    settle_->setInterval(kQuietMs);
    connect(settle_, &QTimer::timeout, this, &DeviceListUpdater::settled);
    connect(&list_, &DropDownList::droppingDown, this, &DeviceListUpdater::droppingDown);
    connect(&list_, &DropDownList::closedUp, this, &DeviceListUpdater::closedUp);
    connect(&list_, &DropDownList::click, this, &DeviceListUpdater::chosen);
    // The platform may outlive the window.
    midi_.watchDevices([self = QPointer<DeviceListUpdater>(this)] {
        if (self)
            self->changed();
    });
}

void DeviceListUpdater::changed()
{
    if (!settle_->isActive())
        burst_.start();
    if (burst_.elapsed() < kLongestWaitMs)
        settle_->start();
}

void DeviceListUpdater::settled()
{
    // Entries rebuilt under the pointer would move what the user is about to click.
    if (list_.isDroppedDown()) {
        pending_ = true;
        return;
    }
    refresh();
}

void DeviceListUpdater::droppingDown()
{
    settle_->stop();
    pending_ = false;
    midi_.lookForDevices();
    refresh();
}

void DeviceListUpdater::closedUp()
{
    // Not at once: the popup closes before the combo box reports the pick, by its index.
    if (std::exchange(pending_, false))
        settle_->start();
}

void DeviceListUpdater::chosen()
{
    // The user has chosen another entry than the vanished device's: that entry goes.
    if (keptVanished_)
        QMetaObject::invokeMethod(this, &DeviceListUpdater::settled, Qt::QueuedConnection);
}

void DeviceListUpdater::refresh()
{
    Entries fresh;
    midi_.fillDeviceList(fresh);
    const int selected = list_.listIndex();
    int keep = -1;
    keptVanished_ = false;
    if (selected >= 0) {
        const QStringList texts = list_.texts();
        const QString &name = texts.at(selected);
        keep = findByName(fresh.texts, name, int(std::count(texts.begin(), texts.begin() + selected, name)));
        if (keep < 0) {
            // The selected device has gone. Its entry stays, selected, until the user chooses
            // another, and it names no device: no id of the latest list is that high.
            keep = std::min(selected, int(fresh.texts.size()));
            const auto highest = std::max_element(fresh.values.begin(), fresh.values.end());
            fresh.texts.insert(keep, name);
            fresh.values.insert(keep, highest == fresh.values.end() ? 0 : std::int16_t(std::min(*highest + 1, 32767)));
            keptVanished_ = true;
        }
    }
    list_.replaceEntries(fresh.texts, fresh.values, keep);
}
