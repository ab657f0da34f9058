// The screens' reading of the session's replies: which text each reply shows and which step follows.
#include <gtest/gtest.h>

#include "ui/screens/login/LoginReplies.h"

using hux::Json;
using LoginReplies::Decision;
using LoginReplies::Message;

namespace {

Message key(const char* k) {
    return Message::key(k);
}
Message literal(const char* t) {
    return Message::literal(t);
}

struct Case {
    const char* name;
    hux::Reply reply;
    hux::Error error;
    Decision::Kind kind;
    Message message;
    bool signedIn = true;  // what the session says it stored (sign-in replies only)
};

void check(const Case& c, Decision (*handle)(const hux::Reply&, const hux::Error&, bool)) {
    SCOPED_TRACE(c.name);
    const Decision d = handle(c.reply, c.error, c.signedIn);
    EXPECT_EQ(d.kind, c.kind);
    if (c.kind == Decision::Show) {
        EXPECT_EQ(d.message.kind, c.message.kind);
        EXPECT_EQ(d.message.text, c.message.text);
    }
}

void check(const Case& c, Decision (*handle)(const hux::Reply&, const hux::Error&)) {
    SCOPED_TRACE(c.name);
    const Decision d = handle(c.reply, c.error);
    EXPECT_EQ(d.kind, c.kind);
    if (c.kind == Decision::Show) {
        EXPECT_EQ(d.message.kind, c.message.kind);
        EXPECT_EQ(d.message.text, c.message.text);
    }
}

const ErrorValue kNotJson{"NSCocoaErrorDomain", 3840,
                          "The data couldn't be read because it isn't in the correct format."};
const ErrorValue kTimedOut{"NSURLErrorDomain", -1001, "The request timed out."};
const ErrorValue kNoServer{"", 1234, "NoIPofIntranet"};

}  // namespace

TEST(LoginRepliesTest, LoginReplyShowsTheTableTextOrGoesOn) {
    const Case cases[] = {
        {"no json", std::nullopt, kNotJson, Decision::Show, key("NoAccount")},
        {"empty body", Json(), std::nullopt, Decision::Show, key("NoAccount")},
        {"transport", std::nullopt, kTimedOut, Decision::Show, literal("The request timed out.")},
        {"no server", std::nullopt, kNoServer, Decision::Show, key("NoIPofIntranet")},
        {"forced change", Json{{"ret", 1}, {"errorcode", 20}}, std::nullopt, Decision::ForcedChange, {}},
        {"forced change as text",
         Json{{"ret", "1"}, {"errorcode", "20"}},
         std::nullopt,
         Decision::ForcedChange,
         {}},
        {"wrong password", Json{{"ret", 1}, {"errorcode", 6}, {"msg", "x"}}, std::nullopt, Decision::Show,
         key("AccountOrPwdError")},
        {"blocked", Json{{"ret", 1}, {"errorcode", 15}}, std::nullopt, Decision::Show, key("Userblocked")},
        {"expired", Json{{"ret", 1}, {"errorcode", 16}}, std::nullopt, Decision::Show, key("Userexpired")},
        {"bound", Json{{"ret", 1}, {"errorcode", 24}}, std::nullopt, Decision::Show, key("Devicebound")},
        {"device blocked", Json{{"ret", 1}, {"errorcode", 25}}, std::nullopt, Decision::Show,
         key("Deviceblocked")},
        {"other code", Json{{"ret", 1}, {"errorcode", 99}, {"msg", "server says no"}}, std::nullopt,
         Decision::Show, literal("server says no")},
        {"no status", Json{{"ret", 0}, {"data", Json::object()}}, std::nullopt, Decision::Success, {}},
        {"no data", Json{{"ret", 0}}, std::nullopt, Decision::Success, {}},
        {"status 0",
         Json{{"ret", 0}, {"data", {{"status", 0}, {"state", 0}}}},
         std::nullopt,
         Decision::Success,
         {}},
        {"scanned", Json{{"ret", 0}, {"data", {{"status", -1}}}}, std::nullopt, Decision::Show,
         literal("\xE4\xBA\x8C\xE7\xBB\xB4\xE7\xA0\x81\xE5\xB7\xB2\xE6\x89\xAB\xE6\x8F\x8F")},
        {"status 3", Json{{"ret", 0}, {"data", {{"status", 3}}}}, std::nullopt, Decision::Nothing, {}},
        {"status -9", Json{{"ret", 0}, {"data", {{"status", -9}}}}, std::nullopt, Decision::Nothing, {}},
        // Without "status" the session's "state" decides, so a refused device never shows success.
        {"review by state", Json{{"ret", 0}, {"data", {{"state", -5}}}}, std::nullopt, Decision::Show,
         key("Devicereview")},
    };
    for (const auto& c : cases) check(c, LoginReplies::loginReply);
}

// A success status is a sign-in only when the session stored one; otherwise the failure text, never
// the signed-in page.
TEST(LoginRepliesTest, SuccessStatusWithoutAStoredSignInShowsFaillogin) {
    const Case cases[] = {
        {"bare ret 0", Json{{"ret", 0}}, std::nullopt, Decision::Show, key("Faillogin"), false},
        {"state 0 without ticket", Json{{"ret", 0}, {"data", {{"state", 0}}}}, std::nullopt, Decision::Show,
         key("Faillogin"), false},
        {"status 0 but state -3", Json{{"ret", 0}, {"data", {{"status", 0}, {"state", -3}}}}, std::nullopt,
         Decision::Show, key("Faillogin"), false},
        {"stored", Json{{"ret", 0}, {"data", {{"state", 0}}}}, std::nullopt, Decision::Success, {}, true},
        // Refusals keep their own texts whatever was stored.
        {"review", Json{{"ret", 0}, {"data", {{"status", -5}}}}, std::nullopt, Decision::Show,
         key("Devicereview"), false},
    };
    for (const auto& c : cases) {
        check(c, LoginReplies::loginReply);
        check(c, LoginReplies::forcedChangeReply);
    }
}

TEST(LoginRepliesTest, StatusTableCoversMinusEightToMinusOne) {
    const std::pair<int64_t, const char*> table[] = {
        {-8, "Deviceapproved"},   {-7, "Devicelogout"}, {-6, "Devicerejected"}, {-5, "Devicereview"},
        {-4, "DevicenoRegister"}, {-3, "Faillogin"},    {-2, "NotLogin"}};
    for (const auto& [status, text] : table) {
        auto message = LoginReplies::statusMessage(status);
        ASSERT_TRUE(message) << status;
        EXPECT_EQ(*message, key(text));
    }
    for (int64_t status : {int64_t{0}, int64_t{1}, int64_t{-9}, INT64_MIN})
        EXPECT_FALSE(LoginReplies::statusMessage(status));
}

TEST(LoginRepliesTest, ForcedChangeAndSheetRepliesReadTheirOwnCodes) {
    const Case forced[] = {
        {"old password wrong", Json{{"ret", 1}, {"errorcode", 21}}, std::nullopt, Decision::Show,
         key("ModifyPwdFailedForOldPwdError")},
        {"other", Json{{"ret", -1}, {"errorcode", 6}, {"msg", "m"}}, std::nullopt, Decision::Show,
         literal("m")},
        {"transport", std::nullopt, kTimedOut, Decision::Show, literal("The request timed out.")},
        {"no json", std::nullopt, kNotJson, Decision::Show, literal(kNotJson.failureReason.c_str())},
        {"done", Json{{"ret", 0}, {"data", {{"state", 0}}}}, std::nullopt, Decision::Success, {}},
        {"rejected", Json{{"ret", 0}, {"data", {{"status", -6}}}}, std::nullopt, Decision::Show,
         key("Devicerejected")},
    };
    for (const auto& c : forced) check(c, LoginReplies::forcedChangeReply);

    const Case sheet[] = {
        {"old password wrong", Json{{"ret", -1}, {"errorcode", 21}}, std::nullopt, Decision::Show,
         key("OldPwdError")},
        {"ret -1 other", Json{{"ret", -1}, {"errorcode", 5}, {"msg", "m1"}}, std::nullopt, Decision::Show,
         literal("m1")},
        // Only "ret" -1 reads the code; any other refusal shows the server's text.
        {"ret 2 code 21", Json{{"ret", 2}, {"errorcode", 21}, {"msg", "m2"}}, std::nullopt, Decision::Show,
         literal("m2")},
        {"done", Json{{"ret", 0}}, std::nullopt, Decision::Success, {}},
        {"not logged in", Json{{"ret", 0}, {"data", {{"status", -2}}}}, std::nullopt, Decision::Show,
         key("NotLogin")},
        {"no server", std::nullopt, kNoServer, Decision::Show, key("NoIPofIntranet")},
        {"empty body", Json(), std::nullopt, Decision::Show, literal(kNotJson.failureReason.c_str())},
    };
    for (const auto& c : sheet) check(c, LoginReplies::sheetReply);
}

TEST(LoginRepliesTest, RetrievalReplyShowsMailboxTextsOrTheAddress) {
    const Case cases[] = {
        {"parameter", Json{{"ret", 1}, {"errorcode", 11}}, std::nullopt, Decision::Show,
         key("RequestParameterError")},
        {"no user mailbox", Json{{"ret", 1}, {"errorcode", 42}}, std::nullopt, Decision::Show,
         key("UserNoMailbox")},
        {"no admin mailbox", Json{{"ret", 1}, {"errorcode", 43}}, std::nullopt, Decision::Show,
         key("AdminNoMailbox")},
        {"send failed", Json{{"ret", 1}, {"errorcode", 44}}, std::nullopt, Decision::Show,
         key("BackPwdMailSendFail")},
        {"other", Json{{"ret", 1}, {"errorcode", 45}, {"msg", "m"}}, std::nullopt, Decision::Show,
         literal("m")},
        {"transport", std::nullopt, kTimedOut, Decision::Show, literal("The request timed out.")},
    };
    for (const auto& c : cases) check(c, LoginReplies::retrievalReply);

    const Decision sent =
        LoginReplies::retrievalReply(Json{{"ret", 0}, {"data", {{"user_email", "a@b.c"}}}}, std::nullopt);
    EXPECT_EQ(sent.kind, Decision::MailSent);
    EXPECT_EQ(sent.email, "a@b.c");
}

TEST(LoginRepliesTest, NoticeCasesAndThePasswordRule) {
    EXPECT_EQ(LoginReplies::noticeMessage(1), key("PwdInconsistent"));
    EXPECT_EQ(LoginReplies::noticeMessage(2), key("PwdRuleTips"));
    EXPECT_EQ(LoginReplies::noticeMessage(3), key("PwdNotEmpty"));
    EXPECT_EQ(LoginReplies::noticeMessage(4), key("NOUseOldPwd"));
    EXPECT_EQ(LoginReplies::noticeMessage(5), key("NOGetOldAcountInfo"));
    EXPECT_FALSE(LoginReplies::noticeMessage(0));
    EXPECT_FALSE(LoginReplies::noticeMessage(6));

    const std::pair<const char*, bool> passwords[] = {
        {"abcdefg1!", true},             // no capital: the rule is matched without case
        {"Abcdefgh1", false},            // no special character
        {"Abc1!xy", false},              // seven characters
        {"abcdefg1\xEF\xBC\x81", true},  // a full-width exclamation mark
        {"", false},
    };
    for (const auto& [password, passes] : passwords)
        EXPECT_EQ(LoginReplies::passwordPasses(password), passes) << password;
}
