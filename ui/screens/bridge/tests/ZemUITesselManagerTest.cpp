// The app's message port over the real socket layer: every message is answered "0", and the
// name stays the first app's while it serves.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "messaging/TesselClient.h"
#include "tests/support/TempRoot.h"
#include "ui/screens/bridge/ZemUITesselManager.h"

namespace {

using hux::ZemUITesselManager;

TEST(ZemUITesselManager, AnswersEveryMessageWithZeroAndKeepsItsNameFromASecondApp) {
    testsupport::TempRoot root;
    auto manager = ZemUITesselManager::create();
    ASSERT_TRUE(manager->config());
    EXPECT_EQ(manager->uiClient()->sendTimeout(), 60.0);
    EXPECT_EQ(manager->uiClient()->recvTimeout(), 60.0);

    tessel::TesselClient client;
    client.setUserScope(::geteuid());
    client.setSendTimeout(5);
    client.setReceiveTimeout(5);
    for (int32_t msgid : {0, 1, 7, -3}) {
        uint64_t code = 0;
        auto reply = client.sendMessageWithName(ZemUITesselManager::kListeningKey, {'h', 'i'}, msgid, &code);
        EXPECT_EQ(reply, std::optional<std::vector<uint8_t>>(std::vector<uint8_t>{'0'})) << msgid;
        EXPECT_EQ(code, uint64_t(tessel::TesselReplyReceived)) << msgid;
    }

    auto second = ZemUITesselManager::create();
    EXPECT_FALSE(second->config());
    uint64_t code = 0;
    EXPECT_TRUE(client.sendMessageWithName(ZemUITesselManager::kListeningKey, {}, 1, &code));

    manager.reset();
    EXPECT_FALSE(client.sendMessageWithName(ZemUITesselManager::kListeningKey, {}, 1, &code))
        << "a manager that goes stops serving its port";
}

}  // namespace
