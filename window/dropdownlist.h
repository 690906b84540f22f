#pragma once

#include "midiout.h"

#include <QObject>

class QComboBox;
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
    int newIndex() const override;
    void setItemData(int index, std::int16_t value) override;
    std::int16_t itemData(int index) const override;

    int count() const;
    int listIndex() const;
    // Runs the click handler when `index` differs from the selection.
    void setListIndex(int index);
    // Selects `index` and runs the click handler whether or not it was selected.
    void choose(int index);

signals:
    void click();

private:
    QComboBox *combo_;
};
