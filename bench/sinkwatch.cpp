#include "sinkwatch.h"

#include "precisetimer.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

#include <algorithm>
#include <thread>

namespace bench {

SinkWatch::~SinkWatch()
{
    stop();
}

void SinkWatch::stateChanged(pa_context *, void *self)
{
    pa_threaded_mainloop_signal(static_cast<SinkWatch *>(self)->loop_, 0);
}

void SinkWatch::event(pa_context *, pa_subscription_event_type type, std::uint32_t, void *data)
{
    auto *self = static_cast<SinkWatch *>(data);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SINK_INPUT
        && (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_NEW) {
        self->appeared_.push_back(song::steadyNow());
        pa_threaded_mainloop_signal(self->loop_, 0);
    }
}

bool SinkWatch::start(QString *error)
{
    stop();
    loop_ = pa_threaded_mainloop_new();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "pianobench-watch");
    pa_context_set_state_callback(context_, &SinkWatch::stateChanged, this);
    pa_context_set_subscribe_callback(context_, &SinkWatch::event, this);
    pa_threaded_mainloop_lock(loop_);
    bool ok = pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0
              && pa_threaded_mainloop_start(loop_) >= 0;
    while (ok) {
        const pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY)
            break;
        if (!PA_CONTEXT_IS_GOOD(state))
            ok = false;
        else
            pa_threaded_mainloop_wait(loop_);
    }
    if (ok) {
        if (pa_operation *op = pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr))
            pa_operation_unref(op);
        else
            ok = false;
    }
    if (!ok && error != nullptr)
        *error = QStringLiteral("cannot watch PulseAudio: %1").arg(QString::fromUtf8(pa_strerror(pa_context_errno(context_))));
    pa_threaded_mainloop_unlock(loop_);
    if (!ok)
        stop();
    return ok;
}

void SinkWatch::stop()
{
    if (loop_ == nullptr)
        return;
    pa_threaded_mainloop_stop(loop_);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
    context_ = nullptr;
    loop_ = nullptr;
}

std::int64_t SinkWatch::waitForNew(std::int64_t afterNs, std::chrono::milliseconds timeout)
{
    const std::int64_t deadline = song::steadyNow() + std::chrono::nanoseconds(timeout).count();
    pa_threaded_mainloop_lock(loop_);
    std::int64_t found = -1;
    while (true) {
        const auto it = std::find_if(appeared_.begin(), appeared_.end(), [&](std::int64_t t) { return t >= afterNs; });
        if (it != appeared_.end()) {
            found = *it;
            break;
        }
        if (song::steadyNow() >= deadline)
            break;
        // The loop's own wait has no deadline: give the lock back for a moment instead.
        pa_threaded_mainloop_unlock(loop_);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pa_threaded_mainloop_lock(loop_);
    }
    pa_threaded_mainloop_unlock(loop_);
    return found;
}

} // namespace bench
