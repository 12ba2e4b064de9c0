#include "platform/pulse/PulseContext.h"

#include "support/RecorderError.h"

namespace tessera {

namespace {

bool isFinal(pa_context_state_t state) {
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
}

// The result of an info-list query, filled on the mainloop thread.
template <class T>
struct QueryResult {
    PulseContext* pulse;
    T value{};
};

}  // namespace

std::string pulseConnectionMessage(int error) {
    return std::string("Could not connect to the audio server (PulseAudio): ") +
           pa_strerror(error) + ".";
}

PulseContext::PulseContext(const std::string& clientName) : mainloop_(pa_threaded_mainloop_new()) {
    if (!mainloop_) {
        throw RecorderError("Could not set up audio capture.");
    }
    context_.reset(
        pa_context_new(pa_threaded_mainloop_get_api(mainloop_.get()), clientName.c_str()));
    if (!context_) {
        throw RecorderError("Could not set up audio capture.");
    }
    pa_context_set_state_callback(context_.get(), &PulseContext::onStateChanged, this);
    if (pa_threaded_mainloop_start(mainloop_.get()) < 0) {
        throw RecorderError("Could not set up audio capture.");
    }
    running_ = true;
    try {
        Lock lock(*this);
        // No autospawn: the recorder never starts an audio server of its own.
        if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            throw RecorderError(pulseConnectionMessage(pa_context_errno(context_.get())));
        }
        while (!isFinal(pa_context_get_state(context_.get()))) {
            pa_threaded_mainloop_wait(mainloop_.get());
        }
        if (pa_context_get_state(context_.get()) != PA_CONTEXT_READY) {
            throw RecorderError(pulseConnectionMessage(pa_context_errno(context_.get())));
        }
    } catch (...) {
        // The destructor does not run for a failed constructor.
        shutDown();
        throw;
    }
}

PulseContext::~PulseContext() {
    shutDown();
}

void PulseContext::shutDown() {
    if (context_ && running_) {
        Lock lock(*this);
        pa_context_set_state_callback(context_.get(), nullptr, nullptr);
        pa_context_disconnect(context_.get());
    }
    // Stopping joins the mainloop thread; only then may the context go.
    if (running_) {
        pa_threaded_mainloop_stop(mainloop_.get());
        running_ = false;
    }
    context_.reset();
}

void PulseContext::onStateChanged(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseContext*>(userdata);
    const auto state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        self->connected_ = true;
    } else if (self->connected_ && !PA_CONTEXT_IS_GOOD(state)) {
        self->connected_ = false;
        if (self->onLost_) {
            self->onLost_();
        }
    }
    pa_threaded_mainloop_signal(self->mainloop_.get(), 0);
}

void PulseContext::waitFor(pa_operation* operation) {
    if (!operation) {
        throw RecorderError(std::string("The audio server did not answer: ") + lastError() + ".");
    }
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING &&
           PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get()))) {
        pa_threaded_mainloop_wait(mainloop_.get());
    }
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_unref(operation);
    if (!done) {
        throw RecorderError("The connection to the audio server was lost.");
    }
}

std::string PulseContext::lastError() const {
    return pa_strerror(pa_context_errno(context_.get()));
}

std::vector<PulseSourceInfo> PulseContext::sources() {
    QueryResult<std::vector<PulseSourceInfo>> result{this};
    Lock lock(*this);
    waitFor(pa_context_get_source_info_list(
        context_.get(),
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
            auto* r = static_cast<QueryResult<std::vector<PulseSourceInfo>>*>(userdata);
            if (eol == 0 && info) {
                r->value.push_back({info->name ? info->name : "",
                                    info->description ? info->description : "",
                                    info->monitor_of_sink != PA_INVALID_INDEX});
            }
            pa_threaded_mainloop_signal(r->pulse->mainloop(), 0);
        },
        &result));
    return result.value;
}

std::optional<PulseSourceInfo> PulseContext::source(const std::string& name) {
    QueryResult<std::optional<PulseSourceInfo>> result{this};
    Lock lock(*this);
    waitFor(pa_context_get_source_info_by_name(
        context_.get(), name.c_str(),
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
            auto* r = static_cast<QueryResult<std::optional<PulseSourceInfo>>*>(userdata);
            if (eol == 0 && info) {
                r->value = PulseSourceInfo{info->name ? info->name : "",
                                           info->description ? info->description : "",
                                           info->monitor_of_sink != PA_INVALID_INDEX};
            }
            pa_threaded_mainloop_signal(r->pulse->mainloop(), 0);
        },
        &result));
    return result.value;
}

std::optional<std::string> PulseContext::monitorOfSink(const std::string& sinkName) {
    QueryResult<std::optional<std::string>> result{this};
    Lock lock(*this);
    waitFor(pa_context_get_sink_info_by_name(
        context_.get(), sinkName.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
            auto* r = static_cast<QueryResult<std::optional<std::string>>*>(userdata);
            if (eol == 0 && info && info->monitor_source_name) {
                r->value = info->monitor_source_name;
            }
            pa_threaded_mainloop_signal(r->pulse->mainloop(), 0);
        },
        &result));
    return result.value;
}

PulseServerDefaults PulseContext::defaults() {
    QueryResult<PulseServerDefaults> result{this};
    Lock lock(*this);
    waitFor(pa_context_get_server_info(
        context_.get(),
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* r = static_cast<QueryResult<PulseServerDefaults>*>(userdata);
            if (info) {
                r->value.defaultSinkName = info->default_sink_name ? info->default_sink_name : "";
                r->value.defaultSourceName =
                    info->default_source_name ? info->default_source_name : "";
            }
            pa_threaded_mainloop_signal(r->pulse->mainloop(), 0);
        },
        &result));
    return result.value;
}

}  // namespace tessera
