#pragma once

// Rational media time: a 64-bit value over a 32-bit timescale, with flags.
//
// A time denotes value / timescale seconds. Comparisons are always exact (cross
// multiplication in 128 bits). Sums and differences are exact whenever the result
// fits a 32-bit timescale: both operands are first reduced to lowest terms, so
// nanosecond host-clock times (timescale 1e9) combine exactly with 1/30, 1/4 or
// 1/48000 of a second in the common cases. When no exact 32-bit timescale exists,
// the result is rounded to the larger of the two timescales and carries
// kHasBeenRounded, as CoreMedia does. An invalid time stays invalid through every
// operation and is distinguishable from zero.
//
// Value type; no shared state; usable from any thread.

#include <algorithm>
#include <compare>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>

namespace tessera {

class MediaTime {
  public:
    static constexpr uint32_t kValid = 1u << 0;
    static constexpr uint32_t kHasBeenRounded = 1u << 1;

    // An invalid time.
    constexpr MediaTime() = default;
    // value / timescale seconds; a timescale of 0 or less yields an invalid time.
    constexpr MediaTime(int64_t value, int32_t timescale)
        : value_(value), timescale_(timescale), flags_(timescale > 0 ? kValid : 0) {}

    static constexpr MediaTime invalid() { return MediaTime(); }
    static constexpr MediaTime zero() { return MediaTime(0, 1); }
    // Rounds seconds * timescale to the nearest integer, halves away from zero.
    static MediaTime fromSeconds(double seconds, int32_t timescale);
    static constexpr MediaTime fromNanoseconds(int64_t ns) { return MediaTime(ns, 1'000'000'000); }

    constexpr int64_t value() const { return value_; }
    constexpr int32_t timescale() const { return timescale_; }
    constexpr uint32_t flags() const { return flags_; }
    constexpr bool isValid() const { return (flags_ & kValid) != 0; }
    constexpr bool hasBeenRounded() const { return (flags_ & kHasBeenRounded) != 0; }

    double seconds() const;
    // The same time at another timescale, rounded to nearest, halves away from
    // zero (exact when the timescale divides evenly). Invalid in, invalid out.
    MediaTime convertScale(int32_t timescale) const;

    friend MediaTime operator+(MediaTime a, MediaTime b) { return combine(a, b, false); }
    friend MediaTime operator-(MediaTime a, MediaTime b) { return combine(a, b, true); }

    // Exact ordering. Invalid times are equal to each other and later than every
    // valid time (the CoreMedia convention).
    friend std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b);
    friend bool operator==(const MediaTime& a, const MediaTime& b) {
        return (a <=> b) == std::strong_ordering::equal;
    }

  private:
    static MediaTime combine(MediaTime a, MediaTime b, bool subtract);
    MediaTime reduced() const;

    int64_t value_ = 0;
    int32_t timescale_ = 0;
    uint32_t flags_ = 0;
};

namespace media_time_detail {

// Rounds n / d to the nearest integer, halves away from zero (d > 0).
inline __int128 roundDiv(__int128 n, __int128 d) {
    __int128 q = n / d;
    __int128 r = n % d;
    if (r < 0) {
        r = -r;
    }
    if (2 * r >= d) {
        q += (n < 0) ? -1 : 1;
    }
    return q;
}

inline bool fitsInt64(__int128 v) {
    return v >= std::numeric_limits<int64_t>::min() && v <= std::numeric_limits<int64_t>::max();
}

}  // namespace media_time_detail

inline MediaTime MediaTime::fromSeconds(double seconds, int32_t timescale) {
    if (timescale <= 0 || !(seconds == seconds)) {
        return MediaTime();
    }
    double scaled = seconds * static_cast<double>(timescale);
    if (scaled >= 9.2e18 || scaled <= -9.2e18) {
        return MediaTime();
    }
    double rounded = scaled < 0 ? -static_cast<double>(static_cast<int64_t>(-scaled + 0.5))
                                : static_cast<double>(static_cast<int64_t>(scaled + 0.5));
    return MediaTime(static_cast<int64_t>(rounded), timescale);
}

inline double MediaTime::seconds() const {
    if (!isValid()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return static_cast<double>(value_) / static_cast<double>(timescale_);
}

inline MediaTime MediaTime::convertScale(int32_t timescale) const {
    if (!isValid() || timescale <= 0) {
        return MediaTime();
    }
    __int128 n = static_cast<__int128>(value_) * timescale;
    __int128 v = media_time_detail::roundDiv(n, timescale_);
    if (!media_time_detail::fitsInt64(v)) {
        return MediaTime();
    }
    MediaTime out(static_cast<int64_t>(v), timescale);
    if (n % timescale_ != 0 || hasBeenRounded()) {
        out.flags_ |= kHasBeenRounded;
    }
    return out;
}

inline MediaTime MediaTime::reduced() const {
    int64_t g = std::gcd(value_, static_cast<int64_t>(timescale_));
    if (g <= 1) {
        return *this;
    }
    MediaTime out(value_ / g, static_cast<int32_t>(timescale_ / g));
    out.flags_ = flags_;
    return out;
}

inline MediaTime MediaTime::combine(MediaTime a, MediaTime b, bool subtract) {
    if (!a.isValid() || !b.isValid()) {
        return MediaTime();
    }
    const uint32_t rounded = (a.flags_ | b.flags_) & kHasBeenRounded;
    uint32_t inexact = 0;
    int32_t timescale = 0;
    __int128 value = 0;
    if (a.timescale_ == b.timescale_) {
        timescale = a.timescale_;
        value = static_cast<__int128>(a.value_) +
                (subtract ? -static_cast<__int128>(b.value_) : static_cast<__int128>(b.value_));
    } else {
        MediaTime ra = a.reduced();
        MediaTime rb = b.reduced();
        int64_t lcm =
            std::lcm(static_cast<int64_t>(ra.timescale_), static_cast<int64_t>(rb.timescale_));
        __int128 av;
        __int128 bv;
        if (lcm <= std::numeric_limits<int32_t>::max()) {
            timescale = static_cast<int32_t>(lcm);
            av = static_cast<__int128>(ra.value_) * (lcm / ra.timescale_);
            bv = static_cast<__int128>(rb.value_) * (lcm / rb.timescale_);
        } else {
            // No exact 32-bit timescale: round both to the finer of the two scales.
            timescale = std::max(a.timescale_, b.timescale_);
            av = media_time_detail::roundDiv(static_cast<__int128>(a.value_) * timescale,
                                             a.timescale_);
            bv = media_time_detail::roundDiv(static_cast<__int128>(b.value_) * timescale,
                                             b.timescale_);
            if (av * a.timescale_ != static_cast<__int128>(a.value_) * timescale ||
                bv * b.timescale_ != static_cast<__int128>(b.value_) * timescale) {
                inexact = kHasBeenRounded;
            }
        }
        value = subtract ? av - bv : av + bv;
    }
    if (!media_time_detail::fitsInt64(value)) {
        return MediaTime();
    }
    MediaTime out(static_cast<int64_t>(value), timescale);
    out.flags_ |= rounded | inexact;
    return out;
}

inline std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
    if (!a.isValid() || !b.isValid()) {
        return static_cast<int>(!a.isValid()) <=> static_cast<int>(!b.isValid());
    }
    __int128 lhs = static_cast<__int128>(a.value_) * b.timescale_;
    __int128 rhs = static_cast<__int128>(b.value_) * a.timescale_;
    return lhs <=> rhs;
}

}  // namespace tessera
