// The library's exported version symbols.
#pragma once

namespace calix {

extern "C" {
extern const double CalixVersionNumber;
extern const unsigned char CalixVersionString[];
}

}  // namespace calix
