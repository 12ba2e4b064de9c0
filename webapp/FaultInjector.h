#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tessera::webapp {

// Test hooks: rules that make chosen requests of a route fail, wait or lose their
// connection, so that a client's retry and error paths run against real HTTP.
// Only installed when the server runs with --test-hooks.
//
// A rule as JSON: {"route": "chunk", "kind": "camera", "nth": 2, "count": 1, "status": 500,
//                  "body": "{\"error\":\"disk full\"}", "contentType": "application/json",
//                  "delayMs": 0, "drop": false}
// "nth" counts the route's requests from 1, starting when the rule is added; the rule
// acts on requests nth .. nth+count-1 (count -1: every request from nth on). A rule
// waits delayMs first; then it drops the connection, or answers with status and body,
// or (status 0, no drop) lets the request be handled normally.
// "kind" (optional, chunk route only) limits the rule, and its count, to chunks of
// that kind.
// Routes: list, create, get, chunk, update, finalize, delete, share, library.
struct FaultAction {
    int delayMs = 0;
    bool drop = false;
    int status = 0;  // 0: handle the request normally after the delay
    std::string body;
    std::string contentType;
};

class FaultInjector {
  public:
    // Adds a rule; throws std::invalid_argument with a readable text for a bad rule.
    void add(const nlohmann::json& rule);
    void clear();
    // Counts one request of `route` (a chunk of `kind`) and returns the action of
    // the first rule that covers it. Thread-safe.
    std::optional<FaultAction> next(const std::string& route, const std::string& kind = {});

  private:
    struct Rule {
        std::string route;
        std::string kind;  // empty: any
        int nth = 1;
        int count = 1;
        int seen = 0;
        FaultAction action;
    };
    std::mutex mutex_;
    std::vector<Rule> rules_;
};

}  // namespace tessera::webapp
