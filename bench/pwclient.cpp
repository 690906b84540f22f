#include "pwclient.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <cerrno>
#include <cstring>

namespace bench {

struct PipeWireClient::Hook
{
    spa_hook listener{};
};

PipeWireClient::PipeWireClient()
    : hook_(std::make_unique<Hook>())
{
}

PipeWireClient::~PipeWireClient()
{
    stop();
}

bool PipeWireClient::start(const char *name, pw_properties *props, bool capture, int rate,
                           const pw_stream_events *events, void *data, QString *error)
{
    stop();
    loop_ = pw_thread_loop_new(name, nullptr);
    context_ = loop_ != nullptr ? pw_context_new(pw_thread_loop_get_loop(loop_),
                                                 pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0)
                                : nullptr;
    core_ = context_ != nullptr ? pw_context_connect(context_, nullptr, 0) : nullptr;
    stream_ = core_ != nullptr ? pw_stream_new(core_, name, props) : nullptr;
    if (stream_ == nullptr) {
        if (error != nullptr)
            *error = QStringLiteral("cannot reach PipeWire: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        stop();
        return false;
    }
    pw_stream_add_listener(stream_, &hook_->listener, events, data);
    std::uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_F32;
    format.rate = static_cast<std::uint32_t>(rate);
    format.channels = 1;
    format.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod *params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                    | PW_STREAM_FLAG_RT_PROCESS);
    const int connected = pw_stream_connect(stream_, capture ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                            flags, params, 1);
    if (connected < 0 || pw_thread_loop_start(loop_) < 0) {
        if (error != nullptr)
            *error = QStringLiteral("cannot connect a PipeWire stream: %1").arg(QString::fromLocal8Bit(std::strerror(-connected)));
        stop();
        return false;
    }
    return true;
}

void PipeWireClient::stop()
{
    if (loop_ != nullptr)
        pw_thread_loop_stop(loop_);
    if (stream_ != nullptr) {
        spa_hook_remove(&hook_->listener);
        pw_stream_destroy(stream_);
    }
    if (core_ != nullptr)
        pw_core_disconnect(core_);
    if (context_ != nullptr)
        pw_context_destroy(context_);
    if (loop_ != nullptr)
        pw_thread_loop_destroy(loop_);
    stream_ = nullptr;
    core_ = nullptr;
    context_ = nullptr;
    loop_ = nullptr;
}

} // namespace bench
