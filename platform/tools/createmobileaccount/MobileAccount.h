// The createmobileaccount stand-in: a directory user gets a home folder on this machine, owned by
// the user and filled from /etc/skel, so the account can sign in here (offline too, with the
// directory's cached credentials). Argument form:  -n <user>
#pragma once

#include <string>
#include <vector>

namespace mobileaccount {

struct Outcome {
    int status = 0;
    std::string output;
    std::string error;
};

// Runs the tool with args (argv[0] excluded).
Outcome run(const std::vector<std::string>& args);

}  // namespace mobileaccount
