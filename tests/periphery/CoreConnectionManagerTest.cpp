// The daemon's registration of the local service connection: vended on request, one at a time,
// and gone for clients once unregistered.
#include <gtest/gtest.h>

#include "tests/support/TempRoot.h"
#include "daemon/endpoints/ZemCoreConnectionManager.h"
#include "platform/ipc/NamedConnection.h"
#include "daemon/service/ZemCoreVPNService.h"

using hollin::ZemCoreConnectionManager;
using hollin::ZemCoreVPNService;

namespace {

bool reachable() {
    ipc::LookupOptions options;
    options.timeout = 2.0;
    options.requireRootPeer = true;
    return ipc::ConnectionProxy::lookup(ZemCoreVPNService::kConnectionName, options) != nullptr;
}

}  // namespace

TEST(CoreConnectionManager, RegistersOnceAndUnregistersForClients) {
    if (::geteuid() != 0) GTEST_SKIP() << "the local service connection is root's";
    testsupport::TempRoot root("core-connection");
    auto& manager = ZemCoreConnectionManager::sharedInstance();
    EXPECT_FALSE(reachable());
    manager.registerZemExitConnection();
    auto first = manager.longconnection();
    ASSERT_TRUE(first);
    EXPECT_TRUE(reachable());
    manager.registerZemExitConnection();
    EXPECT_EQ(manager.longconnection(), first);
    manager.unRegisterConnection();
    EXPECT_FALSE(manager.longconnection());
    EXPECT_FALSE(reachable());
    manager.registerZemExitConnection();
    EXPECT_TRUE(reachable());
    manager.unRegisterConnection();
}
