#pragma once

// The program's only window: it lays out the controls, wires each control event to
// its handler, and drives the keyboard, the device and instrument lists and the
// song player.

#include "keyboard.h"
#include "messagebox.h"
#include "pianokey.h"
#include "songplayer.h"

#include <QWidget>
#include <array>
#include <functional>
#include <memory>

class DropDownList;
class Label;
class QFrame;
class QLabel;
class QPushButton;
class QScrollBar;
class QTimer;

class Form1 : public QWidget, public song::Piano
{
    Q_OBJECT
public:
    struct Options
    {
        QString programDirectory;               // where the data files are
        std::function<void()> endProgram;        // ends the program once the window is unloaded
    };

    // The window plays through `midi`, which must outlive it.
    Form1(midi::MidiOut &midi, Options options, QWidget *parent = nullptr);
    ~Form1() override;

    static const QString kSite;

    // The handlers, one per control event.
    void Form_Load();
    void Form_Unload();
    void ComDevies_Click();
    void ComSounds_Click();
    void Command1_Click();
    void Command2_Click();
    void Label3_Click();
    void Picture1_DragOver(std::int16_t index);
    void Timer1_Timer();
    void HScroll1_Change();
    void HScroll2_Change();
    void Label1_MouseMove();

    // What the song drives.
    void selectDevice(int entry) override;
    bool selectInstrument(int entry) override;
    void setTransposition(int value) override;
    void keyOver(int key) override;
    void setReleased() override;
    void mutePad() override;
    void setPlayEnabled(bool enabled) override;
    void showError(const QString &text) override;
    void setDueTime(std::int64_t dueNs) override;
    std::int64_t stepLeadNs() override;

    const keyboard::Keyboard &keys() const { return keyboard_; }
    song::SongPlayer &songPlayer() { return *player_; }

    // The controls, named as the handlers name them.
    Label *Label3 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command1 = nullptr;
    QFrame *Frame1 = nullptr;
    std::array<QLabel *, 2> Label4 = {};
    DropDownList *ComDevies = nullptr;
    DropDownList *ComSounds = nullptr;
    QFrame *Frame2 = nullptr;
    QLabel *Label7 = nullptr;
    QScrollBar *HScroll1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label5 = nullptr;
    QScrollBar *HScroll2 = nullptr;
    Label *Label1 = nullptr;
    std::array<PianoKey *, keyboard::kKeyCount> Picture1 = {};
    QTimer *Timer1 = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    void createLinkAndButtons();
    void createDeviceFrame();
    void createToneFrame();
    void createKeyboard();
    void createTimers();

    midi::MidiOut &midi_;
    Options options_;
    WindowMessageBox messageBox_;
    keyboard::Keyboard keyboard_;
    std::unique_ptr<song::SongPlayer> player_;
    bool unloaded_ = false;
};
