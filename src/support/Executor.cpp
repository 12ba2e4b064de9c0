#include "support/Executor.h"

#include <vector>

namespace tessera {

bool ExecutorRef::post(std::function<void()> fn) const {
    if (!anchor_) {
        return false;
    }
    // Posting under the anchor's lock keeps the executor alive for the call:
    // closeRefs() waits for it.
    std::lock_guard lock(anchor_->mutex);
    if (!anchor_->executor) {
        return false;
    }
    anchor_->executor->post(std::move(fn));
    return true;
}

Executor::Executor() : anchor_(std::make_shared<detail::ExecutorAnchor>(this)) {}

Executor::~Executor() {
    closeRefs();
}

void Executor::closeRefs() {
    std::lock_guard lock(anchor_->mutex);
    anchor_->executor = nullptr;
}

void Executor::destroyRoots() {
    // A destroyed root releases itself, so work on a snapshot.
    while (!roots_.empty()) {
        std::vector<void*> snapshot(roots_.begin(), roots_.end());
        for (void* address : snapshot) {
            if (roots_.erase(address) > 0) {
                std::coroutine_handle<>::from_address(address).destroy();
            }
        }
    }
}

}  // namespace tessera
