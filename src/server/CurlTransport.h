#pragma once

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/HttpTransport.h"

namespace tessera {

// HttpTransport over libcurl's multi interface, on one network thread of its own.
//
// Ephemeral: no cookie engine, no cache, no stored credentials; redirects are not
// followed. A connection that cannot be made fails at once (no waiting for a
// network to appear). The request timeout becomes a connect timeout plus a
// low-speed limit (less than one byte per second for that many whole seconds), so
// it bounds the wait for the next data, not the exchange; resourceTimeout caps the
// whole exchange. Request bodies are handed to libcurl in place, never copied.
// Reply bodies are kept or dropped piece by piece as they arrive, as the request
// asks, and the transfer is cut once more than its maxReplyBytes have come.
//
// Thread-safety: send() and cancellation run on the awaiting task's executor
// thread; transfers run on the network thread, which posts each completion to
// the awaiting task's executor. Destroy the transport before those executors:
// destruction abandons transfers still running (their tasks resume with
// TransportError cancelled) and joins the network thread.
// curl_global_init must have run before the first transport is made.
class CurlTransport final : public HttpTransport {
  public:
    CurlTransport();
    ~CurlTransport() override;
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    Task<HttpResponse> send(HttpRequest request) override;

    struct Transfer;

  private:
    class Awaiter;
    void submit(std::shared_ptr<Transfer> transfer);
    void cancel(std::shared_ptr<Transfer> transfer);
    void run(std::stop_token stop);
    void wake();

    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::jthread network_;
};

}  // namespace tessera
