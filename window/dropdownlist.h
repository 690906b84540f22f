#pragma once

#include "midi/midiout.h"

#include <QObject>
#include <QStringList>

#include <vector>

class QComboBox;
class QStringListModel;
class QWidget;

// A selection-only drop-down list with the change semantics the handlers rely on:
// a selection set by code runs the click handler at once when it changes the
// selection, and not when it is already set; a user's choice runs it once, even when
// it picks the entry already selected, which is how a user reopens a device. Adding
// entries runs no handler and leaves the selection as it was.
class DropDownList : public QObject, public midi::DeviceList
{
    Q_OBJECT
public:
    explicit DropDownList(QWidget *parent);

    QComboBox *widget() const { return combo_; }

    void clear() override;
    void addItem(const QString &text) override;
    // Adds entries at the end at once: a list of a million names costs a few megabytes
    // this way, where one entry at a time keeps a record per entry and needs hundreds.
    void addItems(const QStringList &texts);
    int newIndex() const override;
    void setItemData(int index, std::int16_t value) override;
    std::int16_t itemData(int index) const override;

    int count() const;
    int listIndex() const;
    // Runs the click handler when `index` differs from the selection.
    void setListIndex(int index);
    // Selects `index` and runs the click handler whether or not it was selected.
    void choose(int index);

    QStringList texts() const;
    // Replaces every entry at once and selects `selected`, running no handler.
    void replaceEntries(const QStringList &texts, const QList<std::int16_t> &values, int selected);
    bool isDroppedDown() const { return droppedDown_; }

signals:
    void click();
    // The user opens the list: the entries can still change before they show.
    void droppingDown();
    void closedUp();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    class Combo;
    bool droppedDown_ = false;
    QComboBox *combo_;
    // Names only: the default model's per-entry records of roles take some 300 bytes each.
    QStringListModel *model_;
    std::vector<std::int16_t> data_;  // the value of each entry, index for index
};
