// What the login and password screens make of the session's replies, apart from any view: the
// text to show (a localisation key or a literal text) and what to do next. Shared by the login
// tab, its forced password change, the password retrieval and the change-password sheet.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ui/session/login/ClientAccountManager.h"

namespace LoginReplies {

// A text for the user: a key of the localisation table, or a text shown as it is.
struct Message {
    enum Kind { Key, Literal };
    Kind kind = Key;
    std::string text;
    static Message key(std::string k) { return {Key, std::move(k)}; }
    static Message literal(std::string t) { return {Literal, std::move(t)}; }
    bool operator==(const Message&) const = default;
};

struct Decision {
    enum Kind {
        Nothing,       // a status outside the table: nothing is shown
        Show,          // show message
        ForcedChange,  // the server demands a new password (login page 1)
        Success,       // signed in, or password changed
        MailSent,      // the retrieval mail went to email
    };
    Kind kind = Nothing;
    Message message;
    std::string email;
};

// The text of a status of "data" when "ret" is 0; nothing for 0 (success) and values outside -8..-1.
std::optional<Message> statusMessage(int64_t status);
// The text of a refused login by its "errorcode"; other codes show the server's "msg".
Message loginErrorMessage(int64_t errorcode, const std::string& msg);
// The tip of a local check on page 1 and in the sheet; nothing for cases outside 1..5 (the tip
// label is hidden then).
std::optional<Message> noticeMessage(int caseNumber);

// The replies of each request. A transport error shows its description (the missing login server
// its localised key); a reply that holds no object with a "ret" number counts as a reply that was
// no JSON. A sign-in (login, forced change) succeeds only when the session stored it (signedIn);
// a success status without that shows "Faillogin".
Decision loginReply(const hux::Reply& reply, const hux::Error& error, bool signedIn);
Decision forcedChangeReply(const hux::Reply& reply, const hux::Error& error, bool signedIn);
Decision sheetReply(const hux::Reply& reply, const hux::Error& error);
Decision retrievalReply(const hux::Reply& reply, const hux::Error& error);

// The password rule of the new-password fields.
bool passwordPasses(const std::string& password);

}  // namespace LoginReplies
