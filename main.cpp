#include "form1.h"
#include "midiout.h"
#include "systemplatform.h"
#include "textfile.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const auto platform = midi::createSystemPlatform();
    MidiOut::setPlatform(platform.get());

    // Once the window is unloaded the program ends at once: no handler runs after it.
    Form1 form({text::programDirectory(), [] {
                    std::fflush(nullptr);
                    std::_Exit(EXIT_SUCCESS);
                }});
    form.show();
    return app.exec();
}
