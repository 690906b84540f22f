#pragma once

// Closes every modal box the moment the event loop runs inside it, and keeps its
// text and caption, so a test can say how many boxes a step showed, none included, instead of
// hanging on one it did not expect.

#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <QWidget>

class BoxWatcher
{
public:
    BoxWatcher()
    {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (QWidget *box = QApplication::activeModalWidget()) {
                texts << box->property("text").toString();
                captions << box->windowTitle();
                box->close();
            }
        });
        timer_.start();
    }

    QStringList texts;
    QStringList captions;

private:
    QTimer timer_;
};
