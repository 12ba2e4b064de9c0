#pragma once

#include <string>

namespace tessera {

// The recording clock's text: "MM:SS" below one hour, "H:MM:SS" from one hour
// on. Seconds are floored; a negative or NaN input shows 00:00, and values
// beyond a million hours show that many hours rather than overflow.
std::string formatElapsed(double seconds);

}  // namespace tessera
