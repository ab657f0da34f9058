// The 3 s write tick with the link's own timer on the manual timeline: a tick that finds the queue
// empty leaves nothing armed, and a request queued later still goes out at the tick of the
// original phase, not earlier and not later.
#include <gtest/gtest.h>

#include "LinkFixture.h"
#include "platform/dispatch/ManualTime.h"

using hollin::ZemLinkContext;
using hollin::ZemSocketMessageModel;

using namespace linktest;
using namespace std::chrono_literals;
using Model = ZemSocketMessageModel;

namespace {

class serverlink_link_WriteTick : public LinkFixture {};

TEST_F(serverlink_link_WriteTick, EmptyQueueSleepsAndARequestGoesOutAtThePhaseTick) {
    StubServer server(folder_, "server");
    configure({server.port()});
    dispatch::ManualTime time;
    ZemLinkContext ctx = context();
    ctx.startWriteTimer = true;
    auto link = connectLink(ctx);  // ticks at 0, 3, 6, 9... s

    // Each case queues a request at an instant after the timer went to sleep, with the instant of
    // the tick that must send it; the queue empties again once the reply is in, and the tick
    // after that finds it empty.
    struct Case {
        const char* name;
        std::chrono::nanoseconds queuedAt;
        std::chrono::nanoseconds sentAt;
    };
    const Case cases[] = {
        {"within the first interval", 2s, 3s},
        {"after several sleeping ticks", 16s, 18s},
        {"just after a tick the sleep skipped", 24s + 1ns, 27s},
    };
    dispatch::ManualTime::advance(0s);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The tick has found the queue empty. Two seconds on (past the logger's delayed state
        // save of the tick's lines), nothing is armed: the timer sleeps.
        ASSERT_TRUE(waitUntil([&] { return link->writeTickSleeps(); }));
        dispatch::ManualTime::advance(2s);
        ASSERT_TRUE(waitUntil([] { return dispatch::ManualTime::pending() == 0; }))
            << dispatch::ManualTime::pending() << " expiries armed at " << dispatch::ManualTime::elapsed().count();
        dispatch::ManualTime::advance(c.queuedAt - dispatch::ManualTime::elapsed());
        const size_t before = server.requests().size();
        auto r = record(Model::kHeartBeat);
        ASSERT_FALSE(link->sendMessage(r));
        EXPECT_EQ(dispatch::ManualTime::pending(), 1u) << "queueing wakes the timer";

        dispatch::ManualTime::advance(c.sentAt - 1ns - dispatch::ManualTime::elapsed());
        EXPECT_EQ(r->sendAttempt, 0u) << "sent before its tick";
        dispatch::ManualTime::advance(1ns);
        ASSERT_TRUE(waitUntil([&] { return r->sendAttempt == 1u; })) << "not sent at its tick";
        ASSERT_TRUE(server.waitForRequests(before + 1));
        ASSERT_TRUE(waitUntil([&] { return link->reqModels().empty(); }));
        link->readSocketManager().waitForPendingReads(10s);
        dispatch::ManualTime::advance(3s);
    }
    EXPECT_EQ(server.requests().size(), 3u);
}

}  // namespace
