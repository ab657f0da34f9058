// The networksetup stand-in's argument forms and what it asks of nmcli.
#include <gtest/gtest.h>

#include "platform/tools/networksetup/NetworkSetup.h"

namespace {

using Args = std::vector<std::string>;

TEST(NetworkSetupTest, MapsEachFormToOneNmcliCall) {
    struct Case {
        Args args;
        Args nmcli;
    };
    const Case cases[] = {
        {{"-listallnetworkservices"}, {"-t", "-f", "NAME", "connection", "show"}},
        {{"-setautoproxystate", "Wired 1", "on"},
         {"connection", "modify", "id", "Wired 1", "proxy.method", "auto"}},
        {{"-setautoproxystate", "Wired 1", "OFF"},
         {"connection", "modify", "id", "Wired 1", "proxy.method", "none"}},
        // A name that looks like an option or shell text is only ever one argument.
        {{"-setautoproxystate", "a\"; rm -rf /; \"b", "off"},
         {"connection", "modify", "id", "a\"; rm -rf /; \"b", "proxy.method", "none"}},
        {{"-setautoproxyurl", "Home", "http://pac/x.pac"},
         {"connection", "modify", "id", "Home", "proxy.method", "auto", "proxy.pac-url", "http://pac/x.pac"}},
        {{"-setautoproxyurl", "Home", " "}, {"connection", "modify", "id", "Home", "proxy.pac-url", ""}},
        // Refused forms.
        {{}, {}},
        {{"-setautoproxystate", "Home", "maybe"}, {}},
        {{"-setautoproxystate", "", "on"}, {}},
        {{"-setautoproxystate", "Home"}, {}},
        {{"-listallnetworkservices", "extra"}, {}},
        {{"-setairportpower", "en0", "on"}, {}},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += "[" + a + "]";
        EXPECT_EQ(networksetup::nmcliArguments(c.args), c.nmcli) << shown;
    }
}

TEST(NetworkSetupTest, RefusedFormsExitWithUsageAndRunNothing) {
    networksetup::Outcome out = networksetup::run({"-setautoproxystate", "Home", "maybe"});
    EXPECT_EQ(out.status, 2);
    EXPECT_TRUE(out.output.empty());
    EXPECT_NE(out.error.find("usage"), std::string::npos);
}

}  // namespace
