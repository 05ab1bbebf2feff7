// The reply rules of a web-console request answered with a CNMessage.
#ifndef ZUCLOUD_SESSION_MESSAGE_REPLY_H
#define ZUCLOUD_SESSION_MESSAGE_REPLY_H

#include <functional>

#include "session/ConsoleOperation.h"

class CNMessageBase;

namespace zu::msg {
struct ClassId;
}

namespace zu {

// A failed POST, then a reply that does not mention `mention`, then one that
// does not unserialize as the message class fail the attempt (each with its
// line and message); the reader takes the rest.
struct MessageReplyRules {
  const char* mention;
  // A failed POST whose reply mentions the word is read like a successful one.
  bool readFailedPostThatMentions = false;
  AttemptFailure postFailed;
  AttemptFailure noMention;
  AttemptFailure unreadable;
};

using MessageReader = std::function<AttemptResult(CNMessageBase&, const ConsoleReply&)>;

ReplyReader ReadMessageReply(MessageReplyRules rules, const msg::ClassId& type, MessageReader read);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_MESSAGE_REPLY_H
