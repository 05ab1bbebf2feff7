// Put Block List: commits a file's blocks, in file order, as its block
// blob, with the blob's Content-MD5, access tier and encryption data when
// given (StorageRequest.h). Only 201 Created confirms a commit.
//
// A commit can be carried out by storage and its reply lost on the way back
// (a connection closed before the reply, a time-out, a reply cut short). A
// resend then names blocks that are no longer uncommitted, and storage
// refuses it with 400 InvalidBlockList, every time. With `recognizeLostReply`
// the commit looks for itself in the blob's committed block list after an
// attempt whose outcome is unknown (no HTTP status came back), but only when
// its block ids carry an upload tag (BlockId.h): untagged ids of an earlier
// upload of a file of the same size would look the same; and after an
// attempt other than the first that storage refused with InvalidBlockList.
// The commit is found when the committed list names exactly these ids, in
// order, and its sizes add up to the blob's length (the file's, or its
// stored length when encrypted). Not found, the commit is
// tried again as any failed attempt after an unknown outcome, and fails at
// once after InvalidBlockList: a resend could only be refused again. A
// token that may not read (403 AuthorizationPermissionMismatch) leaves the
// list unread for the rest of the commit, with one warning line: the commit
// is then never taken as done on a guess.
#ifndef ZUCLOUD_BLOB_BLOCK_LIST_H
#define ZUCLOUD_BLOB_BLOCK_LIST_H

#include <string>
#include <vector>

#include "blob/storage/UncommittedBlocks.h"
#include "session/SessionParams.h"

namespace zu::blob {

class TokenRefresh;

// Attempts of one reading of the committed block list (with the back-off of
// BlockCommit::backoffCapSeconds between them).
constexpr int kCommittedListAttempts = 3;

struct BlockCommit {
  std::string blobUrl;  // storage URL + encoded blob path, no query
  std::string sasToken;
  std::string fileName;          // for the log and the message
  std::vector<std::string> ids;  // Base64 block ids in file order
  std::string fileMd5Base64;     // "" leaves the blob without Content-MD5
  std::string accessTier;        // "" leaves the account's default tier
  std::string encryptionData;    // the blob's "encryptiondata" metadata, "" none
  bool recognizeLostReply = false;
  unsigned long long fileSize = 0;  // the blob's length (stored bytes), with recognizeLostReply
  int backoffCapSeconds = 16;       // between readings of the committed list
  // The file's token (TokenRefresh.h): a 403 asks for a fresh one and the
  // commit is made once more with it. Null: sasToken, and a 403 is final.
  TokenRefresh* tokens = nullptr;
};

// PUT blobUrl?comp=blocklist&sasToken, up to params.retryCount attempts
// 120000 ms apart; a refusal no resend can change (StorageRequest.h) ends the
// commit at once with its own message. 1 once committed (or, with recognizeLostReply, found
// committed), else 0 with the caller's message.
int CommitBlocks(const SessionParams& params, const BlockCommit& commit,
                 std::wstring& errorMessage);

// True when `committed` names exactly `ids`, in order, and its sizes add up
// to `fileSize`.
bool IsThisCommit(const std::vector<ListedBlock>& committed, const std::vector<std::string>& ids,
                  unsigned long long fileSize);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_BLOCK_LIST_H
