// The path of a file's blob below the storage service URL.
//
// "/" + remote folder + "/" + file name, each "/"-separated segment
// percent-encoded as UTF-8 bytes with only unreserved characters kept, so a
// blob is stored under exactly the name it was given: "f%41.bak" stays
// "f%41.bak" instead of becoming "fA.bak", and "#", "?" or a space cannot
// cut the path or start the query. Names the service could not store as
// given are refused: a "." or ".." segment (it would leave its folder or
// the container), a segment that ends in a dot (the service drops it, so
// "dot." and "dot" would be one blob), an empty segment in the file name,
// and control characters (NUL, CR, LF and the rest, which storage refuses
// and which would end or split a request line). Empty segments of the remote
// folder are left out: an empty folder puts the file at the container's top.
#ifndef ZUCLOUD_BLOB_BLOB_PATH_H
#define ZUCLOUD_BLOB_BLOB_PATH_H

#include <string>

namespace zu::blob {

// True with the encoded path in `path`; false with the reason in `problem`
// (a sentence without the names themselves).
bool BuildBlobPath(const std::string& remoteFolder, const std::string& fileName, std::string& path,
                   std::string& problem);

// The caller's message for a refused name.
std::string RefusedNameMessage(const std::string& fileName, const std::string& problem);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_BLOB_PATH_H
