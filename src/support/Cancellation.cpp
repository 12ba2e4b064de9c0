#include "support/Cancellation.h"

#include <utility>

#include "support/Log.h"

namespace tessera {

bool isCancellation(const std::exception_ptr& error) {
    if (!error) {
        return false;
    }
    try {
        std::rethrow_exception(error);
    } catch (const CancelledError&) {
        return true;
    } catch (...) {
        return false;  // only classifies; the caller still holds the error
    }
}

std::string describeError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";  // only describes; the caller still holds the error
    }
}

void CancelState::cancel() {
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    // A callback may register or remove others; take them one at a time. One
    // that throws must not keep the others (each resumes a waiting task) from
    // running, so its error is logged here.
    while (!callbacks_.empty()) {
        auto first = callbacks_.begin();
        auto callback = std::move(first->second);
        callbacks_.erase(first);
        try {
            callback();
        } catch (...) {
            logging::handled("cancel", "a cancellation callback failed", std::current_exception());
        }
    }
}

std::uint64_t CancelState::onCancel(std::function<void()> callback) {
    if (cancelled_) {
        callback();
        return 0;
    }
    std::uint64_t id = nextId_++;
    callbacks_.emplace(id, std::move(callback));
    return id;
}

void CancelState::removeCallback(std::uint64_t id) {
    callbacks_.erase(id);
}

CancelRegistration::CancelRegistration(std::shared_ptr<CancelState> state,
                                       std::function<void()> callback)
    : state_(std::move(state)) {
    id_ = state_->onCancel(std::move(callback));
}

CancelRegistration::CancelRegistration(CancelRegistration&& other) noexcept
    : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}

CancelRegistration& CancelRegistration::operator=(CancelRegistration&& other) noexcept {
    if (this != &other) {
        reset();
        state_ = std::move(other.state_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void CancelRegistration::reset() {
    if (state_ && id_ != 0) {
        state_->removeCallback(id_);
    }
    state_.reset();
    id_ = 0;
}

}  // namespace tessera
