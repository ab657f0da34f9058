// The library's exported version symbols.
#pragma once

namespace tessel {

#define TESSEL_EXPORT __attribute__((visibility("default")))

extern "C" {
TESSEL_EXPORT extern const double TesselVersionNumber;
TESSEL_EXPORT extern const unsigned char TesselVersionString[];
}

}  // namespace tessel
