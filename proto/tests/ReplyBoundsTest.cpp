// Replies are bounded before they are parsed: item limits per repeated field (cut or refused),
// a field budget for the whole reply, no groups; the in-place URL decoding equals the copying
// one; the log text of a message hides secrets and is cut at its bound.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "proto/ZemLogText.h"
#include "proto/ZemResponse.h"
#include "proto/ZemUrlEncode.h"

using zem::ZemResponse;
using zem::ZemUrlEncode;

namespace {

void appendVarint(std::string& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

void appendField(std::string& out, int number, const std::string& payload) {
    appendVarint(out, static_cast<uint64_t>(number) << 3 | 2);
    appendVarint(out, payload.size());
    out += payload;
}

// A root message whose reply body carries extension `extension` with the given inner bytes;
// built by hand so that counts far beyond what the schema classes would hold stay cheap.
std::vector<uint8_t> replyWith(int extension, const std::string& inner) {
    std::string body;
    appendField(body, extension, inner);
    std::string root;
    appendField(root, 1, std::string("\x08\xe8\x07\x58\x00", 5));  // head: action 1000, retcode 0
    appendField(root, 3, body);
    return {root.begin(), root.end()};
}

std::string repeatedItems(size_t count, const std::string& item) {
    std::string out;
    out.reserve(count * (item.size() + 2));
    for (size_t i = 0; i < count; ++i) appendField(out, 1, item);
    return out;
}

struct Parsed {
    bool ok;
    std::string note;
    int items;
};

// Parses a heartbeat reply; items is the number of command items kept (-1 without the reply).
Parsed parseHeartbeat(std::vector<uint8_t> bytes) {
    ZemResponse response(std::move(bytes));
    const bool ok = response.parseData();
    int items = -1;
    if (ok && response.msgRspBody()->HasExtension(ZemV5Root::heartbeatMsgRspBody))
        items = response.msgRspBody()->GetExtension(ZemV5Root::heartbeatMsgRspBody).reqitemsarray_size();
    EXPECT_TRUE(response.data().empty()) << "the reply bytes are released after parsing";
    return {ok, response.limitNote(), items};
}

}  // namespace

TEST(serverlink_proto_ReplyBounds, CommandListsAreCutAndWholeListsBeyondTheirLimitAreRefused) {
    const std::string cmdItem = std::string("\x08\x05\x10\x09", 4);  // cmdType 5, cmdSeq 9
    const std::string policyItem = std::string("\x08\x01\x10\x02", 4);
    const std::string configItem = std::string("\x08\x01\x12\x01x", 5);

    // Heartbeat command lists: cut to 64, the rest of the reply kept.
    for (size_t count : {size_t{64}, size_t{65}, size_t{2'700'000}}) {
        SCOPED_TRACE(count);
        std::string inner = repeatedItems(count, count == 2'700'000 ? std::string() : cmdItem);
        appendField(inner, 2, "ticket-after-the-items");
        const Parsed p = parseHeartbeat(replyWith(1000, inner));
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.items, 64);
        if (count == 64) {
            EXPECT_EQ(p.note, "");
        } else {
            EXPECT_EQ(p.note, "reply cut: HeartbeatMsgRsp.reqItemsArray: " + std::to_string(count) +
                                  " items, kept the first 64");
        }
    }
    {
        ZemResponse response(replyWith(1000, repeatedItems(65, cmdItem) + std::string("\x12\x03tkt", 5)));
        ASSERT_TRUE(response.parseData());
        const auto& rsp = response.msgRspBody()->GetExtension(ZemV5Root::heartbeatMsgRspBody);
        EXPECT_EQ(rsp.userticket(), "tkt");
        EXPECT_EQ(rsp.reqitemsarray(63).cmdtype(), 5);
        EXPECT_EQ(response.msgHead()->action(), 1000);
    }
    // Lists the daemon mirrors whole: refused beyond the limit, never cut.
    struct Case {
        int extension;
        const std::string& item;
        size_t limit;
        const char* field;
    };
    const std::vector<Case> cases = {
        {5001, policyItem, 10'000, "PolicyIDGetMsgRsp.rspItemsArray"},
        {5002, policyItem, 10'000, "PolicyContGetMsgRsp.rspItemsArray"},
        {6000, configItem, 1'024, "ConfigGetMsgRsp.configitemsArray"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        ZemResponse atLimit(replyWith(c.extension, repeatedItems(c.limit, c.item)));
        EXPECT_TRUE(atLimit.parseData());
        EXPECT_EQ(atLimit.limitNote(), "");
        ZemResponse over(replyWith(c.extension, repeatedItems(c.limit + 1, c.item)));
        EXPECT_FALSE(over.parseData());
        EXPECT_EQ(over.limitNote(),
                  std::string("reply refused: ") + c.field + ": more than " + std::to_string(c.limit) + " items");
        EXPECT_EQ(over.msgHead(), nullptr);
    }
}

TEST(serverlink_proto_ReplyBounds, UnknownFieldsCountAgainstTheBudgetAndGroupsAreRefused) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool ok;
        std::string note;
    };
    // Many small unknown fields at the top and inside the typed reply, where no item limit applies.
    std::string unknownVarints;
    for (size_t i = 0; i <= ZemResponse::kMaxReplyFields; ++i) unknownVarints += std::string("\xa0\x06\x01", 3);
    std::string fewUnknown = std::string("\xa0\x06\x01", 3) + std::string("\x12\x03xyz", 5);
    const std::string group = std::string("\xa3\x06\x08\x01\xa4\x06", 6);  // field 100, start/end group
    std::vector<uint8_t> topUnknown = replyWith(2000, "");
    topUnknown.insert(topUnknown.end(), unknownVarints.begin(), unknownVarints.end());
    const std::vector<Case> cases = {
        {"unknown fields within the budget", replyWith(2000, fewUnknown), true, ""},
        {"unknown fields inside the reply", replyWith(2000, unknownVarints), false,
         "reply refused: more than 200000 fields"},
        {"unknown fields at the top", topUnknown, false, "reply refused: more than 200000 fields"},
        {"a group", replyWith(2000, group), false, "reply refused: group field 100 in UpdateMsgRsp"},
        {"truncated bytes", std::vector<uint8_t>{0x1a, 0x40, 0x01}, false, ""},
        {"empty", {}, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZemResponse response(c.bytes);
        EXPECT_EQ(response.parseData(), c.ok);
        EXPECT_EQ(response.limitNote(), c.note);
    }
}

TEST(serverlink_proto_UrlEncode, DecodingInPlaceGivesTheSameBytesAsDecodingIntoACopy) {
    const std::vector<std::string> cases = {
        "", "%", "%4", "%41", "a%41b", "%zz%41", "%%41", "%4%41", "100%", "%0A%00%0a%FF%fF",
        std::string("\x00%41\xff", 5), "plain+text%20ok%2",
    };
    for (const std::string& text : cases) {
        std::vector<uint8_t> inPlace(text.begin(), text.end());
        ZemUrlEncode::urldecodeInPlace(inPlace);
        EXPECT_EQ(inPlace, ZemUrlEncode::urldecode(text, nullptr)) << text;
    }
}

TEST(serverlink_proto_LogText, SecretsAreHiddenAndLongTextIsCutWithAMarker) {
    HeartbeatMsgRsp heartbeat;
    heartbeat.set_userticket("TICKET-abc123");
    heartbeat.set_ticketstate(2);
    heartbeat.add_reqitemsarray()->set_cmdtype(5);
    const std::string text = ZemLogText::describe(&heartbeat);
    EXPECT_EQ(text.find("TICKET-abc123"), std::string::npos);
    EXPECT_EQ(text, "reqItemsArray { cmdType: 5 } userTicket: \"<redacted>\" ticketState: 2");

    // Inside the typed reply of a root message too.
    ZemV5Root root;
    root.mutable_msgrspbody()->MutableExtension(ZemV5Root::heartbeatMsgRspBody)->set_userticket("T-2");
    EXPECT_EQ(ZemLogText::describe(&root).find("T-2"), std::string::npos);

    UpdateMsgRsp update;
    update.set_updateurl(std::string(100'000, 'u'));
    const std::string cut = ZemLogText::describe(&update);
    EXPECT_LE(cut.size(), ZemLogText::kMaxBytes + 64);
    EXPECT_EQ(cut.substr(0, 12), "updateURL: \"");
    EXPECT_NE(cut.find(" ...[cut, "), std::string::npos);
    EXPECT_EQ(cut.substr(cut.size() - 12), " more bytes]");

    EXPECT_EQ(ZemLogText::describe(nullptr), "(null)");
    for (const char* secretName : {"userTicket"}) {
        const auto* field = HeartbeatMsgRsp::descriptor()->FindFieldByName(secretName);
        EXPECT_TRUE(ZemLogText::isSecretField(*field));
    }
    EXPECT_FALSE(ZemLogText::isSecretField(*HeartbeatMsgRsp::descriptor()->FindFieldByName("ticketState")));
    EXPECT_FALSE(ZemLogText::isSecretField(*MachineInfoValueItem::descriptor()->FindFieldByName("key")));
}

// Only what identifies an exchange reaches the log: a marker in any free text of the server's
// replies (policy contents, configuration values, accounts, URLs) never appears.
TEST(serverlink_proto_LogText, ServerFreeTextIsWithheldAndIdsAndVersionsAreShown) {
    const std::string marker = "MARKER-wifi-Pa55";
    struct Case {
        const char* name;
        std::function<std::unique_ptr<google::protobuf::Message>()> make;
        std::vector<std::string> shown;
    };
    const std::vector<Case> cases = {
        {"policy contents",
         [&] {
             auto m = std::make_unique<PolicyContGetMsgRsp>();
             PolicyContItem* item = m->add_rspitemsarray();
             item->set_id_p(12);
             item->set_version(3);
             item->set_content("{\"module\":\"wifi\",\"content\":{\"password\":\"" + marker + "\"}}");
             return m;
         },
         {"id_p: 12 version: 3 content: \"<withheld, 59 bytes>\""}},
        {"configuration values",
         [&] {
             auto m = std::make_unique<ConfigGetMsgRsp>();
             ConfigItem* item = m->add_configitemsarray();
             item->set_type(7);
             item->set_value(marker);
             return m;
         },
         {"type: 7 value: \"<withheld, 16 bytes>\""}},
        {"upgrade URL with an account and a token",
         [&] {
             auto m = std::make_unique<UpdateMsgRsp>();
             m->set_uptype(1);
             m->set_updateurl("https://user:" + marker + "@files.example.org:8443/p.deb?sig=" + marker);
             m->set_md5("9e107d9d372bb6826bd81d3542a419d6");
             return m;
         },
         {"upType: 1", "updateURL: \"https://files.example.org:8443/p.deb?<withheld>\"",
          "md5: \"9e107d9d372bb6826bd81d3542a419d6\""}},
        {"debug-log upload account",
         [&] {
             auto m = std::make_unique<DebugLogUploadMsgRsp>();
             m->set_uploadtype(1);
             m->set_ftpsvrip("10.0.0.9");
             m->set_ftpport(21);
             m->set_ftpuser(marker);
             m->set_ftppasswd(marker);
             m->set_ftppath("/" + marker);
             m->set_uploadurl("ftp://" + marker + "@10.0.0.9/logs");
             return m;
         },
         {"uploadType: 1", "ftpSvrIp: \"10.0.0.9\"", "ftpPort: 21", "ftpPasswd: \"<redacted>\"",
          "uploadURL: \"ftp://10.0.0.9/logs\""}},
        {"head of a root message, and a field the schema does not know",
         [&] {
             auto m = std::make_unique<ZemV5Root>();
             m->mutable_msghead()->set_action(5002);
             m->mutable_msghead()->set_retcode(0);
             m->mutable_msghead()->set_zemver("5.2.1.3");
             m->mutable_msghead()->set_username(marker);
             m->mutable_msghead()->GetReflection()->MutableUnknownFields(m->mutable_msghead())->AddLengthDelimited(
                 99, marker);
             PolicyContItem* item =
                 m->mutable_msgrspbody()->MutableExtension(ZemV5Root::policyContGetMsgRspBody)->add_rspitemsarray();
             item->set_id_p(7);
             item->set_content(marker);
             return m;
         },
         {"action: 5002", "zemVer: \"5.2.1.3\"", "retcode: 0", "id_p: 7"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = ZemLogText::describe(c.make().get());
        EXPECT_EQ(text.find(marker), std::string::npos) << text;
        for (const std::string& part : c.shown) EXPECT_NE(text.find(part), std::string::npos) << text;
    }
}

TEST(serverlink_proto_LogText, UrlsLoseTheirAccountQueryAndFragment) {
    const std::pair<std::string, std::string> cases[] = {
        {"http://127.0.0.1:1/p.deb", "http://127.0.0.1:1/p.deb"},
        {"https://u:p@host/a/b", "https://host/a/b"},
        {"https://u:p@w@host:8443", "https://host:8443"},  // '@' inside the password
        {"ftp://user@host/logs?x=1#frag", "ftp://host/logs?<withheld>"},
        {"https://host/a@b", "https://host/a@b"},  // an '@' in the path is no account
        {"u:p@host/p", "host/p"},                  // no scheme
        {"https://host#token", "https://host?<withheld>"},
        {"", ""},
    };
    for (const auto& [url, logged] : cases) EXPECT_EQ(ZemLogText::withoutCredentials(url), logged) << url;
}
