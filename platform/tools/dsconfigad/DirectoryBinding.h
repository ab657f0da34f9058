// The dsconfigad stand-in: binding this machine to an Active Directory domain through realmd
// (adcli makes the computer account and the machine's keytab; SSSD and PAM are configured), with
// a record of the binding every user can read. Before a join, /etc/realmd.conf asks for short
// user names with homes in /home/<user> (realmd is restarted when that changed) and
// pam-auth-update turns on home folders at first sign-in; an OU goes to realm only when it names
// a container. Mobile accounts are SSSD's cached credentials (offline sign-in) for the domain.
// The platform tool's argument forms:
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

inline constexpr std::chrono::milliseconds kRealmDeadline{120'000};
inline constexpr std::chrono::milliseconds kServiceDeadline{60'000};

struct Outcome {
    int status = 0;
    std::string output;
    std::string error;
};

// realmd's and SSSD's configuration files, under the root prefix.
std::string realmdConfigFile();
std::string sssdConfigFile();

// The record of the binding (domain, computer account, mobile accounts), under the root prefix.
std::string bindingRecordFile();

struct Binding {
    std::string domain;
    std::string computer;  // without the trailing "$"
    bool mobile = false;
};
// The binding recorded; nothing when the machine is not bound.
std::optional<Binding> readBinding();
// The record's text for a binding.
std::string bindingText(const Binding& binding);

// Runs the tool with args (argv[0] excluded); input is what standard input holds.
Outcome run(const std::vector<std::string>& args, const std::string& input);

}  // namespace dsconfigad
