#pragma once

// The WinMM calls the Windows backend makes, as a table of entry points: winmm.dll's own
// by default; a test's own to feed the backend devices and results and to see what it sends.

#include "router/backend.h"

#include <qt_windows.h>

#include <mmsystem.h>

#include <memory>

namespace midi {

struct WinmmCalls
{
    UINT(WINAPI *deviceCount)();
    MMRESULT(WINAPI *deviceCaps)(UINT_PTR deviceId, MIDIOUTCAPSW *caps, UINT size);
    MMRESULT(WINAPI *open)(HMIDIOUT *handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
    MMRESULT(WINAPI *close)(HMIDIOUT handle);
    MMRESULT(WINAPI *send)(HMIDIOUT handle, DWORD message);
    MMRESULT(WINAPI *errorText)(MMRESULT code, LPWSTR text, UINT chars);
};

const WinmmCalls &systemWinmmCalls();

// The backends over `calls`, which must outlive them and their outputs.
std::unique_ptr<Backend> createWinmmMapper(const WinmmCalls &calls);
std::unique_ptr<Backend> createWinmmPorts(const WinmmCalls &calls);

} // namespace midi
