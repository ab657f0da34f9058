// The daemon's entry: picks the mode from the first argument, checks for root and maps the
// outcome to the process exit status.
#pragma once

#include <functional>
#include <string>

namespace hollin {

struct HollinModes {
    std::function<void()> install;  // -install
    std::function<void()> launch;   // -launch
    std::function<void()> protect;  // -protect: runs the main loop
    std::function<void()> run;      // -run: runs the main loop
    static HollinModes standard();
};

// The mode argument as typed, kept for the life of the process.
extern std::string gHollinModeArgument;

int hollinMain(int argc, const char* const argv[], const HollinModes& modes = HollinModes::standard());

}  // namespace hollin
