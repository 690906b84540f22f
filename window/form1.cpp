#include "form1.h"

#include "artwork.h"
#include "devicelistupdater.h"
#include "dropdownlist.h"
#include "instruments.h"
#include "keygeometry.h"
#include "label.h"
#include "midi/midiout.h"
#include "textfile.h"
#include "twips.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFrame>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>

const QString Form1::kSite = QStringLiteral("https://tirrel.example");

namespace {

const QColor kBlue(0, 0, 192);
const QColor kLightBlue(128, 128, 255);
const QColor kNavy(0, 0, 128);

const QString kSongFile = QStringLiteral("haap.txt");
constexpr int kButtonPollMs = 100;

void setColours(QWidget *widget, const QColor &background, const QColor &text)
{
    QPalette palette = widget->palette();
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
        palette.setColor(role, background);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(role, text);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QLabel *createLabel(QWidget *parent, const QString &caption, const QRect &geometry)
{
    auto *label = new QLabel(caption, parent);
    label->setGeometry(geometry);
    setColours(label, kBlue, Qt::white);
    return label;
}

QFrame *createFrame(QWidget *parent, const QRect &geometry)
{
    auto *frame = new QFrame(parent);
    frame->setGeometry(geometry);
    frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    setColours(frame, kBlue, Qt::white);
    QPalette palette = frame->palette();
    palette.setColor(QPalette::Light, kLightBlue);
    palette.setColor(QPalette::Dark, kNavy);
    frame->setPalette(palette);
    return frame;
}

QScrollBar *createScrollBar(QWidget *parent, const QRect &geometry, int maximum)
{
    auto *bar = new QScrollBar(Qt::Horizontal, parent);
    bar->setGeometry(geometry);
    bar->setRange(0, maximum);
    bar->setSingleStep(1);
    bar->setPageStep(1);
    // The value is reported when the thumb is let go, not on every step of a drag.
    bar->setTracking(false);
    bar->setPalette(QGuiApplication::palette());
    return bar;
}

DropDownList *createList(QWidget *parent, const QRect &geometry)
{
    auto *list = new DropDownList(parent);
    list->widget()->setGeometry(geometry);
    setColours(list->widget(), kLightBlue, Qt::white);
    return list;
}

QPushButton *createButton(QWidget *parent, const QString &caption, const QRect &geometry)
{
    auto *button = new QPushButton(caption, parent);
    button->setGeometry(geometry);
    button->setPalette(QGuiApplication::palette());
    return button;
}

} // namespace

Form1::Form1(midi::MidiOut &midi, Options options, QWidget *parent)
    : QWidget(parent)
    , midi_(midi)
    , options_(std::move(options))
    , messageBox_(this)
    , keyboard_(midi)
{
    setWindowTitle(QStringLiteral("Tirrel V2.5"));
    setWindowIcon(programIcon());
    setFixedSize(twips(9345), twips(2445));
    setColours(this, kBlue, Qt::white);

    createLinkAndButtons();
    createDeviceFrame();
    createToneFrame();
    createKeyboard();
    createTimers();

    player_ = std::make_unique<song::SongPlayer>(*this, QDir(options_.programDirectory).filePath(kSongFile));

    if (QScreen *screen = this->screen()) {
        // Centred, but never with the top-left corner off a screen too small for the window.
        const QRect available = screen->availableGeometry();
        const QPoint centred = available.center() - rect().center();
        move(std::max(centred.x(), available.left()), std::max(centred.y(), available.top()));
    }

    midi_.setErrorBox(&messageBox_);
    Form_Load();
}

Form1::~Form1()
{
    midi_.setErrorBox(nullptr);
}

void Form1::createLinkAndButtons()
{
    Label3 = new Label(QStringLiteral("Tirrel 网络电视直播间"), this);
    Label3->setGeometry(twipsRect(225, 150, 2835, 270));
    QFont font;
    font.setFamilies({QStringLiteral("黑体"), QStringLiteral("SimHei"), QStringLiteral("Microsoft YaHei"),
                      QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("WenQuanYi Micro Hei")});
    font.setPointSizeF(10.5);
    font.setBold(true);
    Label3->setFont(font);
    QPalette palette = Label3->palette();
    palette.setColor(QPalette::WindowText, kLightBlue);
    Label3->setPalette(palette);
    Label3->setCursor(handCursor());
    Label3->setToolTip(QStringLiteral("直播网址：") + kSite);
    connect(Label3, &Label::click, this, &Form1::Label3_Click);

    Command2 = createButton(this, QStringLiteral("演奏家Dovi"), twipsRect(4440, 180, 1455, 255));
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    Command1 = createButton(this, QStringLiteral("Power"), twipsRect(5940, 180, 735, 255));
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
}

void Form1::createDeviceFrame()
{
    Frame1 = createFrame(this, twipsRect(240, 420, 6435, 555));
    Label4[0] = createLabel(Frame1, QStringLiteral("设备∶"), twipsRect(120, 240, 915, 255));
    ComDevies = createList(Frame1, twipsRect(660, 180, 2835, 300));
    connect(ComDevies, &DropDownList::click, this, &Form1::ComDevies_Click);
    // Connected after the handler, so that what follows a choice sees the device it opened.
    new DeviceListUpdater(midi_, *ComDevies, this);
    Label4[1] = createLabel(Frame1, QStringLiteral("乐器∶"), twipsRect(3960, 240, 915, 255));
    ComSounds = createList(Frame1, twipsRect(4500, 180, 1815, 300));
    connect(ComSounds, &DropDownList::click, this, &Form1::ComSounds_Click);
}

void Form1::createToneFrame()
{
    Frame2 = createFrame(this, twipsRect(6780, 120, 2355, 855));
    Label7 = createLabel(Frame2, QStringLiteral("音调∶"), twipsRect(120, 240, 915, 195));
    HScroll1 = createScrollBar(Frame2, twipsRect(660, 180, 1035, 255), keyboard::kMaxBaseNote);
    connect(HScroll1, &QScrollBar::valueChanged, this, &Form1::HScroll1_Change);

    Label2 = new QLabel(QStringLiteral("Label2"), Frame2);
    Label2->setGeometry(twipsRect(1800, 180, 375, 255));
    Label2->setAlignment(Qt::AlignCenter);
    setColours(Label2, Qt::white, Qt::black);

    Label5 = createLabel(Frame2, QStringLiteral("音量∶"), twipsRect(120, 540, 675, 195));
    HScroll2 = createScrollBar(Frame2, twipsRect(660, 540, 1575, 255), keyboard::kMaxVelocity);
    connect(HScroll2, &QScrollBar::valueChanged, this, &Form1::HScroll2_Change);
}

void Form1::createKeyboard()
{
    Label1 = new Label(QStringLiteral("消音板"), this);
    Label1->setGeometry(twipsRect(240, 1020, 8895, 315));
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setMouseTracking(true);
    setColours(Label1, kNavy, Qt::white);
    connect(Label1, &Label::mouseMove, this, &Form1::Label1_MouseMove);

    // Created left to right, so each key lies above its left-hand neighbour; then the
    // black keys are raised above all white ones. Qt's hit-testing follows this order.
    for (int i = 0; i < keyboard::kKeyCount; ++i) {
        const QRect r = keyboard::keyRectTwips(i);
        auto *key = new PianoKey(i, keyboard::isBlackKey(i), this);
        key->setGeometry(twipsRect(r.x(), r.y(), r.width(), r.height()));
        connect(key, &PianoKey::dragOver, this,
                [this](PianoKey *target) { Picture1_DragOver(static_cast<std::int16_t>(target->index())); });
        Picture1[i] = key;
    }
    for (PianoKey *key : Picture1)
        if (keyboard::isBlackKey(key->index()))
            key->raise();
}

void Form1::createTimers()
{
    Timer1 = new QTimer(this);
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(kButtonPollMs);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    Timer1->start();
}

void Form1::paintEvent(QPaintEvent *)
{
    // The three light-blue lines framing the keyboard.
    QPainter painter(this);
    painter.setPen(kLightBlue);
    painter.drawLine(twips(60), twips(1320), twips(9300), twips(1320));
    painter.drawLine(twips(9300), twips(1320), twips(9300), twips(2280));
    painter.drawLine(twips(60), twips(1320), twips(60), twips(2280));
}

void Form1::mousePressEvent(QMouseEvent *event)
{
    // A press on the keyboard's last column or row of device pixels, rounded onto the window.
    if (PianoKey *key = PianoKey::keyOnPixel(this, event->scenePosition()))
        key->pressFromWindow(event);
}

void Form1::Form_Load()
{
    midi_.fillDeviceList(*ComDevies);
    if (ComDevies->count() > 0)
        ComDevies->setListIndex(0);
    loadInstruments(*ComSounds, options_.programDirectory, messageBox_);
    for (PianoKey *key : Picture1)
        key->setAutomaticDrag(true);
    HScroll1->setValue(keyboard::kStartBaseNote);
    HScroll2->setValue(keyboard::kStartVelocity);
}

void Form1::ComDevies_Click()
{
    midi_.openDevice(ComDevies->itemData(ComDevies->listIndex()));
}

void Form1::ComSounds_Click() { sendInstrument(midi_, ComSounds->listIndex()); }

void Form1::Command1_Click() { close(); }

void Form1::Command2_Click() { player_->play(); }

void Form1::closeEvent(QCloseEvent *event)
{
    event->accept();
    Form_Unload();
}

void Form1::Form_Unload()
{
    if (unloaded_)
        return;
    unloaded_ = true;
    Timer1->stop();
    player_->stop();
    midi_.closeDevice();
    if (options_.endProgram)
        options_.endProgram();
}

void Form1::Label3_Click()
{
    QDesktopServices::openUrl(QUrl(kSite + QStringLiteral("/tv.htm")));
}

void Form1::Picture1_DragOver(std::int16_t index) { keyboard_.glideOnto(index); }

void Form1::Timer1_Timer()
{
    keyboard_.pollButton(QGuiApplication::mouseButtons().testFlag(Qt::LeftButton));
}

void Form1::HScroll1_Change()
{
    Label2->setText(keyboard_.setTransposition(static_cast<std::int16_t>(HScroll1->value())));
}

void Form1::HScroll2_Change() { keyboard_.setVelocity(static_cast<std::int16_t>(HScroll2->value())); }

void Form1::Label1_MouseMove() { keyboard_.silence(); }

void Form1::selectDevice(int entry)
{
    if (entry < ComDevies->count())
        ComDevies->setListIndex(entry);
}

bool Form1::selectInstrument(int entry)
{
    if (entry >= ComSounds->count())
        return false;
    ComSounds->choose(entry);
    return true;
}

void Form1::setTransposition(int value) { HScroll1->setValue(value); }

void Form1::keyOver(int key) { Picture1_DragOver(static_cast<std::int16_t>(key)); }

void Form1::setReleased() { keyboard_.release(); }

void Form1::mutePad() { Label1_MouseMove(); }

void Form1::setPlayEnabled(bool enabled) { Command2->setEnabled(enabled); }

void Form1::showError(const QString &text) { messageBox_.show(text); }

void Form1::setDueTime(std::int64_t dueNs) { midi_.setDueTime(dueNs); }

std::int64_t Form1::stepLeadNs() { return midi_.leadNs(); }
