#pragma once

#include <optional>
#include <string_view>

namespace tessera {

// Enumerations that are stored or exchanged by name specialise EnumCases with
// their cases in declaration order and provide an overload of
// `std::string_view rawValue(E)` found by argument-dependent lookup.
template <typename E>
struct EnumCases;

template <typename E>
constexpr const auto& allCases() {
    return EnumCases<E>::values;
}

// The case whose raw value is exactly `raw` (case-sensitive), or none.
template <typename E>
std::optional<E> fromRawValue(std::string_view raw) {
    for (E value : allCases<E>()) {
        if (rawValue(value) == raw) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace tessera
