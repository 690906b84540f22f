#pragma once

#include "midi/midiout.h"

class QWidget;

// The modal message box: the text, one OK button, no icon, the program's title as its caption.
class WindowMessageBox final : public midi::ErrorBox
{
public:
    explicit WindowMessageBox(QWidget *parent) : parent_(parent) {}
    void show(const QString &text) override;

private:
    QWidget *parent_;
};
