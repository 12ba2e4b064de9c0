#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "server/HttpTransport.h"
#include "support/Cancellation.h"
#include "support/Task.h"

namespace tessera::testing {

// An HttpTransport for unit tests on the manual executor. Every request is
// recorded. A request is answered at once when `responder` gives an outcome for
// it; otherwise it stays pending until the test calls answer(). Cancelling the
// awaiting task resumes it with CancelledError, as the real transport does.
class FakeHttpTransport final : public HttpTransport {
  public:
    using Outcome = std::variant<HttpResponse, TransportError>;

    std::function<std::optional<Outcome>(const HttpRequest&)> responder;
    std::vector<HttpRequest> requests;

    std::size_t pendingCount() const { return pending_.size(); }
    // Answers the oldest pending request; its task resumes at the executor's next turn.
    void answer(Outcome outcome) {
        auto p = pending_.front();
        pending_.pop_front();
        p->registration.reset();
        p->outcome = std::move(outcome);
        p->executor->post([h = p->handle] { h.resume(); });
    }

    Task<HttpResponse> send(HttpRequest request) override {
        requests.push_back(request);
        std::optional<Outcome> outcome = responder ? responder(request) : std::nullopt;
        if (!outcome) {
            // A named awaiter: GCC 12 destroys some temporaries of a co_await
            // expression twice.
            Wait wait{this, std::make_shared<Pending>(), {}};
            outcome = co_await wait;
        }
        if (auto* error = std::get_if<TransportError>(&*outcome)) {
            throw *error;
        }
        co_return std::get<HttpResponse>(*outcome);
    }

  private:
    struct Pending {
        std::optional<Outcome> outcome;
        Executor* executor = nullptr;
        std::coroutine_handle<> handle;
        CancelRegistration registration;
    };
    struct Wait {
        FakeHttpTransport* transport;
        std::shared_ptr<Pending> pending;
        TaskContext context;
        bool await_ready() { return false; }
        template <detail::TaskPromise P>
        void await_suspend(std::coroutine_handle<P> self) {
            context = self.promise().context;
            pending->executor = context.executor;
            pending->handle = self;
            transport->pending_.push_back(pending);
            pending->registration =
                CancelRegistration(context.cancel, [t = transport, weak = std::weak_ptr(pending)] {
                    if (auto p = weak.lock()) {
                        std::erase(t->pending_, p);
                        p->executor->post([h = p->handle] { h.resume(); });
                    }
                });
        }
        ~Wait() {
            // A frame destroyed while waiting: its request is forgotten.
            if (pending && pending->handle) {
                pending->registration.reset();
                std::erase(transport->pending_, pending);
            }
        }
        Outcome await_resume() {
            pending->registration.reset();
            if (context.isCancelled()) {
                throw CancelledError();
            }
            return std::move(*pending->outcome);
        }
    };
    std::deque<std::shared_ptr<Pending>> pending_;
};

}  // namespace tessera::testing
