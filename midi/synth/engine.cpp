#include "synth/engine.h"

#include "synth/fluidlog.h"
#include "synth/systemchoices.h"

#include <QDir>
#include <QFileInfo>
#include <fluidsynth.h>

#include <algorithm>

namespace midi {

namespace {

QString fluidDefaultSoundFont()
{
    FluidLog::install();
    fluid_settings_t *settings = new_fluid_settings();
    if (settings == nullptr)
        return {};
    QString path;
    char *value = nullptr;
    if (fluid_settings_dupstr(settings, "synth.default-soundfont", &value) == FLUID_OK && value != nullptr) {
        path = QString::fromLocal8Bit(value);
        fluid_free(value);
    }
    delete_fluid_settings(settings);
    return path;
}

} // namespace

QStringList SynthEngine::soundFontCandidates(const QString &programDir)
{
    QStringList candidates;
    if (!programDir.isEmpty()) {
        const QFileInfoList files = QDir(programDir).entryInfoList(
            {QStringLiteral("*.sf2"), QStringLiteral("*.sf3")}, QDir::Files | QDir::Readable, QDir::Name);
        for (const QFileInfo &file : files)
            candidates << file.absoluteFilePath();
    }
    const QString fluidDefault = fluidDefaultSoundFont();
    if (!fluidDefault.isEmpty())
        candidates << fluidDefault;
    for (const char *path : systemSoundFonts())
        candidates << QString::fromLatin1(path);
    candidates.removeDuplicates();
    return candidates;
}

QString SynthEngine::findSoundFont(const QStringList &candidates)
{
    const auto found = std::find_if(candidates.begin(), candidates.end(), [](const QString &path) {
        const QFileInfo file(path);
        return file.isFile() && file.isReadable();
    });
    return found == candidates.end() ? QString() : *found;
}

SynthEngine::SynthEngine(double sampleRate)
    : sampleRate_(sampleRate)
{
    FluidLog::install();
    settings_ = new_fluid_settings();
    if (settings_ == nullptr)
        return;
    fluid_settings_setnum(settings_, "synth.sample-rate", sampleRate_);
    fluid_settings_setint(settings_, "synth.polyphony", kPolyphony);
    // Samples load when a preset is chosen, not all with the soundfont: 5 MB less with TimGM6mb,
    // over 100 MB less with FluidR3_GM.
    fluid_settings_setint(settings_, "synth.dynamic-sample-loading", 1);
    // FluidSynth's lock keeps two threads out of its message calls at once; the program
    // keeps its sending side and its audio thread apart itself (SynthRenderer), so that the
    // audio thread never takes a lock.
    fluid_settings_setint(settings_, "synth.threadsafe-api", 0);
    synth_ = new_fluid_synth(settings_);
}

SynthEngine::~SynthEngine()
{
    if (synth_ != nullptr) {
        delete_fluid_synth(synth_);
        synth_ = nullptr;
    }
    if (settings_ != nullptr) {
        delete_fluid_settings(settings_);
        settings_ = nullptr;
    }
}

bool SynthEngine::loadSoundFont(const QStringList &candidates, QString &error)
{
    if (synth_ == nullptr) {
        error = QStringLiteral("FluidSynth 未能创建合成器");
        return false;
    }
    QStringList failed;
    for (const QString &path : candidates) {
        const QFileInfo file(path);
        if (!file.isFile() || !file.isReadable())
            continue;
        if (fluid_synth_sfload(synth_, QFile::encodeName(path).constData(), 1) != FLUID_FAILED) {
            soundFont_ = path;
            return true;
        }
        failed << file.fileName();
    }
    error = failed.isEmpty()
        ? QStringLiteral("找不到 General MIDI 音色库（.sf2/.sf3）")
        : QStringLiteral("音色库无法载入：") + failed.join(QStringLiteral("、"));
    return false;
}

void SynthEngine::play(ShortMessage message)
{
    if (synth_ == nullptr)
        return;
    if (message.status() == kSystemReset) {
        fluid_synth_system_reset(synth_);
        return;
    }
    if (!message.isChannelMessage())
        return;
    const int channel = message.channel();
    const int data1 = message.data1();
    const int data2 = message.data2();
    // FluidSynth refuses some valid messages (a note-off for a key that is not
    // sounding, a note-on on a channel without a preset); to the sender they are played.
    switch (message.kind()) {
    case kNoteOff:
        fluid_synth_noteoff(synth_, channel, data1);
        break;
    case kNoteOn:
        if (data2 == 0)
            fluid_synth_noteoff(synth_, channel, data1);
        else
            fluid_synth_noteon(synth_, channel, data1, data2);
        break;
    case kKeyPressure:
        fluid_synth_key_pressure(synth_, channel, data1, data2);
        break;
    case kControlChange:
        fluid_synth_cc(synth_, channel, data1, data2);
        break;
    case kProgramChange:
        fluid_synth_program_change(synth_, channel, data1);
        break;
    case kChannelPressure:
        fluid_synth_channel_pressure(synth_, channel, data1);
        break;
    case kPitchBend:
        fluid_synth_pitch_bend(synth_, channel, data1 | data2 << 7);
        break;
    }
}

bool SynthEngine::render(int frames, float *left, float *right)
{
    if (synth_ == nullptr || frames < 0 || left == nullptr || right == nullptr)
        return false;
    std::fill_n(left, frames, 0.0f);
    std::fill_n(right, frames, 0.0f);
    // With no effect buffers of its own the output gets reverb and chorus mixed into the dry signal.
    float *effects[] = {left, right, left, right};
    float *dry[] = {left, right};
    return fluid_synth_process(synth_, frames, 4, effects, 2, dry) == FLUID_OK;
}

int SynthEngine::activeVoices() const
{
    return synth_ == nullptr ? 0 : fluid_synth_get_active_voice_count(synth_);
}

} // namespace midi
