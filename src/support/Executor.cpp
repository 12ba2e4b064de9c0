#include "support/Executor.h"

#include <vector>

namespace tessera {

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
