#include "form1.h"
#include "midiout.h"
#include "systemplatform.h"
#include "textfile.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
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
                             std::_Exit(EXIT_SUCCESS);
                         }});
    form.show();
    return app.exec();
}
