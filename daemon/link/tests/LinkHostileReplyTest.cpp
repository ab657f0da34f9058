// A server that answers with replies built to exhaust memory: millions of empty command items
// just under the byte cap, again and again. The link cuts the command list, holds each reply once,
// hands the memory back and logs short lines, so the process stays under the daemon's 100 MiB
// guard. Its own executable, so the figures of /proc/self/status are this test's alone.
#include <gtest/gtest.h>

#include <sstream>

#include "LinkFixture.h"
#include "tests/support/TestFiles.h"
#include "proto/ZemResponse.h"

using zem::ZemUrlEncode;
using hollin::ZemSocketMessageModel;

using namespace linktest;
using namespace std::chrono_literals;
using Model = ZemSocketMessageModel;

namespace {

class serverlink_link_Hostile : public LinkFixture {};

// kB of a line of /proc/self/status ("VmRSS", "VmHWM").
long statusKb(const std::string& name) {
    std::istringstream in(readText("/proc/self/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
    return -1;
}

void appendVarint(std::string& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

// A heartbeat reply of `items` empty command items followed by a ticket, as the stub's script:
// the encoded bytes before the items, the items as a repeat, the ticket after them.
Json heartbeatFlood(size_t items, const std::string& ticket) {
    std::string ticketField = "\x12";
    appendVarint(ticketField, ticket.size());
    ticketField += ticket;
    const size_t innerSize = 2 * items + ticketField.size();
    std::string ext;
    appendVarint(ext, 1000u << 3 | 2);
    appendVarint(ext, innerSize);
    const size_t extSize = ext.size() + innerSize;
    std::string root("\x0a\x05\x08\xe8\x07\x58\x00", 7);  // head: action 1000, retcode 0
    root += '\x1a';
    appendVarint(root, extSize);
    root += ext;
    return Json{{"status", 200},
                {"body", ZemUrlEncode::urlencodWithData(std::string_view(root))},
                {"repeat", Json{{"text", "%0A%00"}, {"count", items}}},
                {"suffix", ZemUrlEncode::urlencodWithData(std::string_view(ticketField))}};
}

}  // namespace

TEST_F(serverlink_link_Hostile, SeriesOfHugeHeartbeatRepliesStaysUnderTheMemoryGuard) {
    constexpr size_t kHuge = 2'700'000;  // 16.2 MB encoded, just under the byte cap
    constexpr size_t kLarge = 200'000;
    const std::vector<size_t> series = {kHuge, kLarge, kHuge, kLarge, kHuge, kHuge, kLarge, kHuge};
    Json entries = Json::array();
    for (size_t items : series) entries.push_back(heartbeatFlood(items, "TICKET-hostile-1"));
    StubServer server(folder_, "hostile", Json{{"entries", entries}});
    configure({server.port()});
    auto link = connectLink();

    const long rssBefore = statusKb("VmRSS");
    const size_t mark = logMark();
    for (size_t i = 0; i < series.size(); ++i) {
        SCOPED_TRACE(i);
        link->sendMessage(record(Model::kHeartBeat));
        link->handleSocketWrite();
        ASSERT_TRUE(waitUntil([&] { return link->reqModels().empty(); }, 60s));
        ASSERT_TRUE(link->readSocketManager().waitForPendingReads(60s));
        if (testsupport::kMemoryFiguresMeaningful) {
            EXPECT_LT(statusKb("VmRSS") - rssBefore, 40 * 1024) << "memory kept after reply " << i;
        }
    }
    // The peak of the whole process: the daemon ends itself at 100 MiB.
    if (testsupport::kMemoryFiguresMeaningful) {
        EXPECT_LT(statusKb("VmHWM"), 100 * 1024);
    }

    const std::string log = logSince(mark);
    EXPECT_EQ(countSince(mark, "type: heartbeat | parse reponse successfully. "), series.size());
    EXPECT_EQ(countSince(mark, "reply cut: HeartbeatMsgRsp.reqItemsArray: 2700000 items, kept the first 64"),
              5u);
    EXPECT_EQ(countSince(mark, "reply cut: HeartbeatMsgRsp.reqItemsArray: 200000 items, kept the first 64"),
              3u);
    EXPECT_EQ(log.find("TICKET-hostile-1"), std::string::npos);
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) EXPECT_LT(line.size(), 8192u);
    EXPECT_EQ(lastGoodServer()->record_port, static_cast<uint64_t>(server.port()));
}
