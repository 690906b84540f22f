#pragma once

// A window started against the recording MIDI double, with its data files in a
// temporary program directory.

#include "dropdownlist.h"
#include "form1.h"
#include "midi/midiout.h"
#include "recording/recordingplatform.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QSignalBlocker>
#include <QTest>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

// Fails the running test, with the box's text, when a modal box stays open that the test did
// not expect: one it expects it closes itself within 50 ms (dismissNextBox, BoxWatcher), while
// any other would wait for a click until CTest's timeout. After the first, the boxes that
// follow close at once.
class UnexpectedBoxGuard : public QObject
{
public:
    UnexpectedBoxGuard() { qApp->installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *box = qobject_cast<QWidget *>(watched);
        if (event->type() != QEvent::Show || box == nullptr || !box->isWindow() || !box->isModal())
            return false;
        QTimer::singleShot(failed_ ? 0 : 500, this, [this, box = QPointer<QWidget>(box)] {
            if (!box || !box->isVisible())
                return;
            const QString text = box->property("text").toString();
            if (!failed_)
                QTest::qFail(qPrintable(QStringLiteral("a box the test did not expect: %1").arg(text)), __FILE__, __LINE__);
            failed_ = true;
            box->close();
        });
        return false;
    }

private:
    bool failed_ = false;
};

struct FormFixture
{
    UnexpectedBoxGuard boxGuard;  // first, so that it watches to the end
    midi::RecordingPlatform platform;
    midi::MidiOut midi{platform};
    QTemporaryDir dir;
    std::unique_ptr<Form1> form;  // last, so that it goes first
    int endCalls = 0;

    void writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::WriteOnly))
            f.write(bytes);
    }

    // The shipped data files, unless a test wrote its own.
    void copyShippedData()
    {
        const QDir source(qEnvironmentVariable("TIRREL_SOURCE_DIR") + QStringLiteral("/data"));
        for (const char *name : {"genmidi.txt", "haap.txt"})
            if (!QFile::exists(dir.filePath(QString::fromLatin1(name))))
                QFile::copy(source.filePath(QString::fromLatin1(name)), dir.filePath(QString::fromLatin1(name)));
    }

    Form1 &start()
    {
        copyShippedData();
        form = std::make_unique<Form1>(midi, Form1::Options{dir.path(), [this] { ++endCalls; }});
        return *form;
    }

    // Starts and shows the window for a test that plays it. The button poll is left to the
    // test, as a real poll would have left it by now (the button up), and the calls made so
    // far are forgotten. Null if the window never showed.
    Form1 *startPlayable()
    {
        Form1 &shown = start();
        shown.show();
        if (!QTest::qWaitForWindowExposed(&shown))
            return nullptr;
        shown.Timer1->stop();
        shown.Timer1_Timer();
        platform.clearCalls();
        return &shown;
    }
};

// Closes the next modal box a moment after it opens, recording its text.
inline void dismissNextBox(QString *text = nullptr, int delayMs = 50)
{
    QTimer::singleShot(delayMs, [text] {
        if (QWidget *box = QApplication::activeModalWidget()) {
            if (text)
                *text = box->property("text").toString();
            box->close();
        }
    });
}

// A user's choice of `entry` with the keyboard: the entry above it is selected quietly,
// then Down arrives as a key press on the focused list.
inline void chooseWithKeyboard(DropDownList &list, int entry)
{
    QComboBox *combo = list.widget();
    {
        const QSignalBlocker blocker(combo);
        combo->setCurrentIndex(entry - 1);
    }
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
}

// A user's pick of `entry` with the mouse: the list drops down, and a click on the entry.
inline void clickInPopup(DropDownList &list, int entry)
{
    QComboBox *combo = list.widget();
    combo->showPopup();
    QAbstractItemView *view = combo->view();
    const QRect item = view->visualRect(view->model()->index(entry, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
}
