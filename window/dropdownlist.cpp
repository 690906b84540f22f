#include "dropdownlist.h"

#include <QComboBox>
#include <QSignalBlocker>
#include <QStringListModel>

DropDownList::DropDownList(QWidget *parent)
    : QObject(parent)
    , combo_(new QComboBox(parent))
    , model_(new QStringListModel(combo_))
{
    combo_->setModel(model_);
    // `activated` comes only from the user, also for the entry already selected.
    connect(combo_, &QComboBox::activated, this, &DropDownList::click);
}

void DropDownList::clear()
{
    const QSignalBlocker blocker(combo_);
    model_->setStringList({});
    data_.clear();
}

void DropDownList::addItem(const QString &text)
{
    addItems({text});
}

void DropDownList::addItems(const QStringList &texts)
{
    // QComboBox selects an entry by itself when entries come to an empty list.
    const QSignalBlocker blocker(combo_);
    const int selected = combo_->currentIndex();
    // One reset of the model, not a signal per entry.
    model_->setStringList(model_->stringList() + texts);
    data_.resize(data_.size() + std::size_t(texts.size()), 0);
    combo_->setCurrentIndex(selected);
}

int DropDownList::newIndex() const { return combo_->count() - 1; }

void DropDownList::setItemData(int index, std::int16_t value)
{
    if (index >= 0 && std::size_t(index) < data_.size())
        data_[std::size_t(index)] = value;
}

std::int16_t DropDownList::itemData(int index) const
{
    return index >= 0 && std::size_t(index) < data_.size() ? data_[std::size_t(index)] : 0;
}

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
