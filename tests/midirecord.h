#pragma once

// Reading what the recording MIDI double received, for the window-level tests.

#include "recording/recordingplatform.h"

#include <QList>
#include <QStringList>
#include <map>
#include <set>

inline std::uint32_t noteOn(int note, int velocity = 127)
{
    return 0x90u | std::uint32_t(note) << 8 | std::uint32_t(velocity) << 16;
}
inline std::uint32_t noteOff(int note) { return 0x80u | std::uint32_t(note) << 8; }

// Notes left sounding on each device: note-on adds, note-off or all-notes-off removes.
// Messages that are not valid MIDI are collected in `invalid`.
struct SoundingModel
{
    std::map<midi::HMidiOut, std::set<int>> sounding;
    QStringList invalid;

    explicit SoundingModel(const midi::RecordingPlatform &platform)
    {
        for (const auto &c : platform.calls) {
            if (c.op != midi::RecordingPlatform::Op::ShortMsg || c.result != midi::result::NoError)
                continue;
            const int status = c.value & 0xFF, data1 = c.value >> 8 & 0xFF, data2 = c.value >> 16 & 0xFF;
            if (status < 0x80 || data1 > 127 || data2 > 127 || (c.value >> 24) != 0)
                invalid << QString::number(c.value, 16);
            auto &notes = sounding[c.deviceOrHandle];
            if (status == 0x90 && data2 > 0)
                notes.insert(data1);
            else if (status == 0x80 || status == 0x90)
                notes.erase(data1);
            else if (status == 0xB0 && data1 == 123)
                notes.clear();
        }
    }

    QList<int> notes() const
    {
        QList<int> all;
        for (const auto &[handle, notes] : sounding)
            all += QList<int>(notes.begin(), notes.end());
        return all;
    }
};
