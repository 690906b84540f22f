#include "form1.h"
#include "midi/midiout.h"
#include "midi/system.h"
#include "textfile.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

int main(int argc, char *argv[])
{
    midi::prepareProcess();
    QApplication app(argc, argv);
    const auto platform = midi::createSystemPlatform();
    midi::MidiOut midiOut(*platform);

    // Once the window is unloaded the program ends at once: no handler runs after it.
    Form1 form(midiOut, {text::programDirectory(), [] {
                             std::fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__)
                             // Ending at once skips the leak check that a sanitizer build runs at exit.
                             __lsan_do_leak_check();
#endif
#ifdef Q_OS_WIN
                             // std::_Exit is ExitProcess there, which still runs every DLL's
                             // detach code, Qt's destructors among them, under a live window.
                             ::TerminateProcess(::GetCurrentProcess(), EXIT_SUCCESS);
#endif
                             std::_Exit(EXIT_SUCCESS);
                         }});
    form.show();
    return app.exec();
}
