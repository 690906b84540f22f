#include "dropdownlist.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QSignalBlocker>
#include <QStringListModel>

// Tells the list before its entries drop down; when they close up, the list hears from
// the popup itself, which a click outside it closes without a word to the combo box.
class DropDownList::Combo final : public QComboBox
{
public:
    Combo(DropDownList *list, QWidget *parent) : QComboBox(parent), list_(list) {}

    void showPopup() override
    {
        emit list_->droppingDown();
        // Installing the filter again leaves it installed once.
        if (QWidget *popup = view()->parentWidget())
            popup->installEventFilter(list_);
        QComboBox::showPopup();
    }

private:
    DropDownList *list_;
};

DropDownList::DropDownList(QWidget *parent)
    : QObject(parent)
    , combo_(new Combo(this, parent))
    , model_(new QStringListModel(combo_))
{
    combo_->setModel(model_);
    // `activated` comes only from the user, also for the entry already selected.
    connect(combo_, &QComboBox::activated, this, &DropDownList::click);
}

bool DropDownList::eventFilter(QObject *, QEvent *event)
{
    if (event->type() == QEvent::Show) {
        droppedDown_ = true;
    } else if (event->type() == QEvent::Hide) {
        droppedDown_ = false;
        emit closedUp();
    }
    return false;
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

QStringList DropDownList::texts() const { return model_->stringList(); }

void DropDownList::replaceEntries(const QStringList &texts, const QList<std::int16_t> &values, int selected)
{
    const QSignalBlocker blocker(combo_);
    model_->setStringList(texts);
    data_.assign(values.begin(), values.end());
    data_.resize(std::size_t(texts.size()), 0);
    combo_->setCurrentIndex(selected);
}
