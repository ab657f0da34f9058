#include <gtest/gtest.h>

#include "ui/session/login/ZemAnalyseDomain.h"

TEST(ZemAnalyseDomainTest, SplitsHostAndPathPrefix) {
    const struct {
        const char* server;
        const char* host;
        const char* prefix;
    } cases[] = {
        {"zem.example.org", "zem.example.org", ""},
        {"zem.example.org#portal", "zem.example.org", "/portal"},
        {"zem.example.org#portal##v2", "zem.example.org", "/portal/v2"},
        {"zem.example.org#", "zem.example.org", ""},
        {"#only", "", "/only"},
        {"", "", ""},
    };
    ZemAnalyseDomain analysis;
    for (const auto& c : cases) {
        analysis.analyseServerConfig(c.server);
        EXPECT_EQ(analysis.domain_config(), c.host) << c.server;
        EXPECT_EQ(analysis.path_config(), c.prefix) << c.server;
    }
}

TEST(ZemAnalyseDomainTest, AChangedServerIsAnalysedAfresh) {
    ZemAnalyseDomain analysis;
    analysis.analyseServerConfig("old.example.org#a");
    analysis.analyseServerConfig("new.example.org");
    EXPECT_EQ(analysis.domain_config(), "new.example.org");
    EXPECT_EQ(analysis.path_config(), "");
}
