#pragma once

// A connection to the PulseAudio server (or PipeWire's pulse server) on a
// pa_threaded_mainloop of its own. Every pa_* call on the context or its
// streams is made with the mainloop lock held (PulseContext::Lock); callbacks
// of the library run on the mainloop's thread with that lock held.

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessera {

// One source of the server: a microphone-like input or the monitor of a sink.
struct PulseSourceInfo {
    std::string name;
    std::string description;
    bool isMonitor = false;
};

struct PulseServerDefaults {
    std::string defaultSinkName;
    std::string defaultSourceName;
};

class PulseContext {
  public:
    // Holds the mainloop lock for its scope. Not on the mainloop thread.
    class Lock {
      public:
        explicit Lock(PulseContext& pulse) : mainloop_(pulse.mainloop_.get()) {
            pa_threaded_mainloop_lock(mainloop_);
        }
        ~Lock() { pa_threaded_mainloop_unlock(mainloop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pa_threaded_mainloop* mainloop_;
    };

    // Connects to the server that PULSE_SERVER or the client configuration
    // names, without starting one. Blocks until the connection is ready.
    // Throws RecorderError when no server answers or it refuses the client.
    explicit PulseContext(const std::string& clientName);
    // Disconnects and joins the mainloop thread. Not on the mainloop thread.
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    pa_context* context() const { return context_.get(); }
    pa_threaded_mainloop* mainloop() const { return mainloop_.get(); }

    // Queries; each blocks until the server answers. Call without the lock.
    // Throw RecorderError when the connection is lost.
    std::vector<PulseSourceInfo> sources();
    PulseServerDefaults defaults();
    // The source's description, none when the server has no source by that name.
    std::optional<PulseSourceInfo> source(const std::string& name);
    // The monitor source of a sink; none when the sink does not exist.
    std::optional<std::string> monitorOfSink(const std::string& sinkName);

    // Waits with the lock held until `operation` is done (or the connection
    // breaks), then releases the operation.
    void waitFor(pa_operation* operation);

    // Called on the mainloop thread when an established connection breaks
    // (the server quit or dropped the client). Set with the lock held.
    void setOnConnectionLost(std::function<void()> onLost) { onLost_ = std::move(onLost); }

    // The user-facing text of the context's last error.
    std::string lastError() const;

  private:
    struct MainloopDeleter {
        void operator()(pa_threaded_mainloop* m) const { pa_threaded_mainloop_free(m); }
    };
    struct ContextDeleter {
        void operator()(pa_context* c) const { pa_context_unref(c); }
    };

    static void onStateChanged(pa_context* context, void* self);
    void shutDown();

    std::unique_ptr<pa_threaded_mainloop, MainloopDeleter> mainloop_;
    std::unique_ptr<pa_context, ContextDeleter> context_;
    bool running_ = false;
    // Mainloop thread, under the lock.
    bool connected_ = false;
    std::function<void()> onLost_;
};

// Messages shared by the PulseAudio adapters.
std::string pulseConnectionMessage(int error);

}  // namespace tessera
