// Rapid pointer input: a drag of 10,000 moves over the keyboard, the mute pad and out of the
// window and back (the path of tests/tst_rapid_input), into the real window and keyboard with
// the recording MIDI double, on the offscreen platform.
//
//   rapid_input_us_per_move  each move delivered as it comes and the event loop run until it
//                            is idle again: what one move of a live pointer costs
//   rapid_input_drain_ms     all moves queued first, then the time the event loop takes to work
//                            the queue off: how long a backlog of them holds the program up
//
// Each is the median over the runs. Usage: rapid_input [--runs N]   (default 5)

#include "formfixture.h"
#include "precisetimer.h"
#include "rapidinput.h"
#include "stats.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::int64_t kDrainTimeoutNs = 60'000'000'000;

[[noreturn]] void die(const char *message)
{
    std::fprintf(stderr, "rapid_input: %s\n", message);
    std::exit(1);
}

using bench::median;

// A window ready to be played, with the button down on the path's first key.
struct PressedForm
{
    FormFixture fixture;
    QWindow *window = nullptr;

    PressedForm()
    {
        Form1 &form = fixture.start();
        form.show();
        if (!QTest::qWaitForWindowExposed(&form))
            die("the window was never exposed");
        window = form.windowHandle();
        QTest::mousePress(window, Qt::LeftButton, {}, rapidinput::kPress);
    }
    ~PressedForm() { QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(2, 2)); }
};

double oneByOneNs(const std::vector<QPoint> &path)
{
    PressedForm pressed;
    rapidinput::MoveCounter counter(pressed.window);
    const std::int64_t start = song::steadyNow();
    for (const QPoint &pos : path) {
        rapidinput::deliverMove(pressed.window, pos);
        QCoreApplication::processEvents();
    }
    const std::int64_t end = song::steadyNow();
    if (counter.atKeys != int(path.size()))
        die("not every move reached the pressed key");
    return double(end - start);
}

double drainNs(const std::vector<QPoint> &path)
{
    PressedForm pressed;
    rapidinput::MoveCounter counter(pressed.window);
    for (const QPoint &pos : path)
        rapidinput::queueMove(pressed.window, pos);
    const std::int64_t start = song::steadyNow();
    while (counter.atWindow < int(path.size())) {
        QCoreApplication::processEvents();
        if (song::steadyNow() - start > kDrainTimeoutNs)
            die("the queued moves were not worked off within 60 s");
    }
    const std::int64_t end = song::steadyNow();
    if (counter.atKeys != int(path.size()))
        die("not every move reached the pressed key");
    return double(end - start);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!qEnvironmentVariableIsSet("TIRREL_SOURCE_DIR"))
        qputenv("TIRREL_SOURCE_DIR", TIRREL_SOURCE_DIR);
    QApplication app(argc, argv);

    int runs = 5;
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        bool ok = false;
        if (args[i] == QLatin1String("--runs") && i + 1 < args.size())
            runs = args[++i].toInt(&ok);
        if (!ok || runs < 1)
            die("usage: rapid_input [--runs N]");
    }

    const std::vector<QPoint> path = rapidinput::pointerPath();
    std::vector<double> perMove;
    std::vector<double> drain;
    for (int run = 0; run < runs; ++run) {
        perMove.push_back(oneByOneNs(path) / 1e3 / double(path.size()));
        drain.push_back(drainNs(path) / 1e6);
    }
    std::printf("rapid_input_us_per_move: %.2f\n", median(perMove));
    std::printf("rapid_input_drain_ms: %.1f\n", median(drain));
    return 0;
}
