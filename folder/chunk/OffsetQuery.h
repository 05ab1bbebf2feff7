// The offset query: a chunk request without a body, on the chunk's own
// gateway, whose reply names how many bytes of the file the server holds
// (and, once it holds them all, the file's GUID).
#ifndef ZUCLOUD_FOLDER_CHUNK_OFFSET_QUERY_H
#define ZUCLOUD_FOLDER_CHUNK_OFFSET_QUERY_H

#include <string>

#include "platform/http/ZuInternetGateway.h"
#include "session/SessionParams.h"

namespace zu::folder {

// An offset query: the chunk URL, the upload's headers and the chunk's
// gateway.
struct OffsetQuery {
  LIBCURL::ZuInternetGateway* gateway;
  const std::string& url;
  ZuCURL::commandInfoList& headers;
  const std::string& fileName;
};

// Asks the server how many bytes of the file it holds, with the query's
// own attempts and 60 s waits. True once a reply named an offset above 0
// (with `zeroIsAnswer`, 0 too: a server that lost the session's bytes) or,
// when `fileGUID` is given, the file's GUID (whatever the offset: an empty
// file's is 0); `fileGUID` then receives the GUID the reply named ("" for
// none). False without a gateway or when every attempt failed.
bool QueryOffset(const SessionParams& params, const OffsetQuery& query, bool zeroIsAnswer,
                 long long& offset, std::string* fileGUID);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_CHUNK_OFFSET_QUERY_H
