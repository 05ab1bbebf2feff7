#include "platform/http/RequestRefusal.h"

namespace LIBCURL {

namespace {

bool HasHeaderBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

bool HasControlCharacter(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

std::string RefusedRequestText(const std::string& url, const ZuCURL::commandInfoList& headers) {
  if (HasControlCharacter(url)) return "request not sent: the URL holds a control character";
  for (const auto& h : headers) {
    if (HasHeaderBreak(h.name)) return "request not sent: a header name holds CR, LF or NUL";
    if (HasHeaderBreak(h.value))
      return "request not sent: the value of header [" + h.name + "] holds CR, LF or NUL";
  }
  return std::string();
}

}  // namespace LIBCURL
