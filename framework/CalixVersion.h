// The library's exported version symbols.
#pragma once

extern "C" {
extern const double CalixVersionNumber;
extern const unsigned char CalixVersionString[];
}
