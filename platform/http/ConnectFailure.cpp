#include "platform/http/ConnectFailure.h"

#include <curl/curl.h>

#include <memory>

namespace LIBCURL {
namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct TextDeleter {
  void operator()(char* text) const { curl_free(text); }
};

// One part of `url` as curl reads it ("" when it has none).
std::string UrlPart(CURLU* url, CURLUPart part, unsigned int flags) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, flags) != CURLUE_OK || raw == nullptr) return std::string();
  const std::unique_ptr<char, TextDeleter> owned(raw);
  return std::string(raw);
}

// "host port N", or the URL itself when curl cannot read it.
std::string WhereOf(const std::string& url) {
  const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return "a URL curl cannot read";  // never echoed: it may carry a token
  }
  const std::string host = UrlPart(parsed.get(), CURLUPART_HOST, 0);
  const std::string port = UrlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  return host + (port.empty() ? std::string() : " port " + port);
}

bool Says(const std::string& text, const char* words) {
  return text.find(words) != std::string::npos;
}

const char* ReasonOf(int code, const std::string& text) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "the proxy's host name was not found (DNS); check \"ZUCloudProxyURL\" and the "
             "proxy variables";
    case CURLE_COULDNT_RESOLVE_HOST:
      return "the host name was not found (DNS); check the URL";
    case CURLE_COULDNT_CONNECT:
      return Says(text, "refused") ? "the connection was refused: nothing listens on that port"
                                   : "the host cannot be reached";
    case CURLE_OPERATION_TIMEDOUT:
      return "no answer within the connect time-out";
    case CURLE_SSL_CONNECT_ERROR:
      return Says(text, "wrong version number")
                 ? "the TLS handshake failed: the server does not speak TLS on that port (an "
                   "https URL for an http server?)"
                 : "the TLS handshake failed";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
      return "the server's certificate is not trusted: add its CA (a PEM file) with the "
             "environment variable ZUCLOUD_CA_FILE, or turn the check off with the setting "
             "\"nWebReportsIgnoreCertificateErrors\"";
    default:
      return "the connection failed";
  }
}

}  // namespace

std::string DescribeConnectFailure(int curlCode, const std::string& curlText,
                                   const std::string& url) {
  std::string text = "cannot connect to " + WhereOf(url) + ": " + ReasonOf(curlCode, curlText);
  if (curlCode != 0) {
    text += " [curl error " + std::to_string(curlCode) + ": " + curlText + "]";
  } else if (!curlText.empty()) {
    text += " [" + curlText + "]";
  }
  return text;
}

}  // namespace LIBCURL
