#include "FaultInjector.h"

#include <stdexcept>

namespace tessera::webapp {

void FaultInjector::add(const nlohmann::json& rule) {
    if (!rule.is_object() || !rule.contains("route") || !rule["route"].is_string()) {
        throw std::invalid_argument("A fault rule needs a \"route\" string");
    }
    Rule r;
    try {
        r.route = rule["route"].get<std::string>();
        r.kind = rule.value("kind", "");
        r.nth = rule.value("nth", 1);
        r.count = rule.value("count", 1);
        r.action.delayMs = rule.value("delayMs", 0);
        r.action.drop = rule.value("drop", false);
        r.action.status = rule.value("status", 0);
        r.action.body = rule.value("body", "");
        r.action.contentType = rule.value("contentType", "application/json");
    } catch (const nlohmann::json::exception&) {
        throw std::invalid_argument("A fault rule field has the wrong type");
    }
    if (r.nth < 1 || r.count == 0 || r.action.delayMs < 0 ||
        (r.action.status != 0 && (r.action.status < 100 || r.action.status > 599))) {
        throw std::invalid_argument("A fault rule field is out of range");
    }
    std::lock_guard lock(mutex_);
    rules_.push_back(std::move(r));
}

void FaultInjector::clear() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

std::optional<FaultAction> FaultInjector::next(const std::string& route, const std::string& kind) {
    std::lock_guard lock(mutex_);
    std::optional<FaultAction> chosen;
    for (Rule& r : rules_) {
        if (r.route != route || (!r.kind.empty() && r.kind != kind)) {
            continue;
        }
        const int n = ++r.seen;
        const bool covered = n >= r.nth && (r.count < 0 || n < r.nth + r.count);
        if (covered && !chosen) {
            chosen = r.action;
        }
    }
    return chosen;
}

}  // namespace tessera::webapp
