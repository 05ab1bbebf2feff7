#include "session/MessageReply.h"

#include <memory>
#include <utility>

#include "platform/xml/CNMessage.h"

namespace zu {

ReplyReader ReadMessageReply(MessageReplyRules rules, const msg::ClassId& type,
                             MessageReader read) {
  auto shared = std::make_shared<const MessageReplyRules>(std::move(rules));
  return [shared, type, read = std::move(read)](const ConsoleReply& reply) {
    const MessageReplyRules& rules = *shared;
    const bool mentions = reply.response.find(rules.mention) != std::string::npos;
    if (reply.posted != 0 && !(rules.readFailedPostThatMentions && mentions)) {
      rules.postFailed.Report(reply);
      return AttemptResult::kRetry;
    }
    if (reply.response.empty() || !mentions) {
      rules.noMention.Report(reply);
      return AttemptResult::kRetry;
    }
    CNMessageBase message(type.type, type.id);
    if (message.unserialize(reply.response.c_str()) != 0) {
      rules.unreadable.Report(reply);
      return AttemptResult::kRetry;
    }
    return read(message, reply);
  };
}

}  // namespace zu
