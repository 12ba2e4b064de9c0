#pragma once

// An AppState over an in-memory store, for the camera's tests.

#include <memory>

#include "app/AppState.h"
#include "platform/Relauncher.h"
#include "platform/ScreenPermission.h"

namespace tessera::testing {

class GrantedScreenPermission final : public ScreenPermission {
  public:
    bool preflight() override { return true; }
    void request() override {}
};

class NoRelauncher final : public Relauncher {
  public:
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
    GrantedScreenPermission permission;
    NoRelauncher relauncher;
    std::unique_ptr<AppState> state;
};

}  // namespace tessera::testing
