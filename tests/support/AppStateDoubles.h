#pragma once

// An AppState over an in-memory store, with the two ports it needs answered
// the way each test fixes them.

#include <memory>

#include "app/AppState.h"
#include "platform/Relauncher.h"
#include "platform/ScreenPermission.h"

namespace tessera::testing {

struct FixedScreenPermission : ScreenPermission {
    bool granted = true;
    int requests = 0;
    bool preflight() override { return granted; }
    void request() override { ++requests; }
};

struct NoRelaunch : Relauncher {
    void relaunch() override {}
};

// The settings of one launch; launch() again reads the same store, as a
// restart of the application would.
struct TestAppState {
    AppState& launch() {
        state.reset();
        state = std::make_unique<AppState>(store, permission, relauncher, 1);
        return *state;
    }
    InMemorySettingsStore store;
    FixedScreenPermission permission;
    NoRelaunch relauncher;
    std::unique_ptr<AppState> state;
};

}  // namespace tessera::testing
