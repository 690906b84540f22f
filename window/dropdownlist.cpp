#include "dropdownlist.h"

#include <QComboBox>
#include <QSignalBlocker>

DropDownList::DropDownList(QWidget *parent)
    : QObject(parent)
    , combo_(new QComboBox(parent))
{
    // `activated` comes only from the user, also for the entry already selected.
    connect(combo_, &QComboBox::activated, this, &DropDownList::click);
}

void DropDownList::clear()
{
    const QSignalBlocker blocker(combo_);
    combo_->clear();
}

void DropDownList::addItem(const QString &text)
{
    // QComboBox selects the first entry added to an empty list by itself.
    const QSignalBlocker blocker(combo_);
    const int selected = combo_->currentIndex();
    combo_->addItem(text, QVariant::fromValue<qint16>(0));
    combo_->setCurrentIndex(selected);
}

int DropDownList::newIndex() const { return combo_->count() - 1; }

void DropDownList::setItemData(int index, std::int16_t value)
{
    combo_->setItemData(index, QVariant::fromValue<qint16>(value));
}

std::int16_t DropDownList::itemData(int index) const { return combo_->itemData(index).value<qint16>(); }

int DropDownList::count() const { return combo_->count(); }

int DropDownList::listIndex() const { return combo_->currentIndex(); }

void DropDownList::setListIndex(int index)
{
    if (index == combo_->currentIndex())
        return;
    choose(index);
}

void DropDownList::choose(int index)
{
    {
        const QSignalBlocker blocker(combo_);
        combo_->setCurrentIndex(index);
    }
    emit click();
}
