// The dsconfigad stand-in: binding this machine to an Active Directory domain through adcli
// (the computer account and the machine's keytab) and SSSD (a configuration snippet of our own,
// with a readable copy that records the binding), in the platform tool's argument forms:
//   -show
//   -a <computer> -domain <domain> -u <user> [-p <password>] [-ou <base>]   (no -p: the
//       password is the first line of standard input)
//   -r | -remove [-f | -force] [-u <user>] [-username <user>] [-password <password>]
//   -mobile enable|disable [-mobileconfirm enable|disable]
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace dsconfigad {

inline constexpr std::chrono::milliseconds kAdcliDeadline{120'000};

struct Outcome {
    int status = 0;
    std::string output;
    std::string error;
};

// The SSSD snippet that makes the binding (root's alone), and its copy that records it for every
// user, under the root prefix.
std::string bindingFile();
std::string bindingRecordFile();

struct Binding {
    std::string domain;
    std::string computer;  // without the trailing "$"
    bool mobile = false;
};
// The binding recorded in the snippet; nothing when the machine is not bound.
std::optional<Binding> readBinding();
// The snippet's text for a binding.
std::string bindingText(const Binding& binding);

// Runs the tool with args (argv[0] excluded); input is what standard input holds.
Outcome run(const std::vector<std::string>& args, const std::string& input);

}  // namespace dsconfigad
