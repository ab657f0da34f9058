// The report service's connection takes the configured server after initialServerConfig.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/records/support/RecordsTestSupport.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/paths/Paths.h"
#include "proto/ZemConnection.h"
#include "common/server/ZemServerConfig.h"

using zem::ZemConnection;
using common::ZemServerConfig;

TEST(serverlink_proto_Connection, InitialServerConfigTakesTheConfiguredServerOrStaysEmpty) {
    recordstest::TempRoot root;
    std::filesystem::create_directories(paths::machineSupportFolder());
    {
        ZemServerConfig config;
        ZemConnection connection(&config);
        connection.init();
        connection.initialServerConfig();
        EXPECT_FALSE(connection.hasServer());
        EXPECT_EQ(connection.urlForPath("yj/debug"), "");
    }
    ASSERT_TRUE(archive::archiveRootObjectToFile(
        archive::Array{archive::Array{"srv.example", "8080"}, archive::Array{"ext.example", "9090"}},
        paths::serverConfigFile()));
    ZemServerConfig config;
    ZemConnection connection(&config);
    connection.init();
    EXPECT_FALSE(connection.hasServer());
    connection.initialServerConfig();
    EXPECT_EQ(connection.host(), "srv.example");
    EXPECT_EQ(connection.port(), 8080u);
    EXPECT_EQ(connection.urlForPath("yj/policystat"), "http://srv.example:8080/yj/policystat");
}
