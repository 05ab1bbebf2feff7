// The upload of one file, as UploadFile hands it over (FileUpload.h). A
// small file goes in one Put Blob. Otherwise a pass describes itself
// (UploadDescription.h), starts its resume, builds its slot board
// (SlotBoard.h) and runs the producer (BlockProducer.cpp), which queues one
// uploader task per block (BlockUploader.cpp); when every block is stored the
// pass commits the block list (BlockList.h) and, with the verify setting,
// checks the stored blob (VerifyBlob.h). A second pass sends the file whole
// with ids of the other length when storage refuses the first pass's for
// their length, or at the new URL a fresh token names. An encrypted file
// (BlobEncryption.h) is sealed block by block by the producer, and its
// commit carries the blob's encryption data.

#include "blob/engine/FileUpload.h"

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "ZUCloudAzureService.h"
#include "blob/engine/UploadBlobArgs.h"
#include "blob/engine/UploadPlan.h"
#include "blob/resume/Resume.h"
#include "blob/storage/BlobEncryption.h"
#include "blob/storage/BlobPath.h"
#include "blob/storage/BlockId.h"
#include "blob/storage/BlockList.h"
#include "blob/storage/SingleRequestUpload.h"
#include "blob/storage/TokenRefresh.h"
#include "blob/storage/VerifyBlob.h"
#include "platform/http/SendPacer.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "platform/threads/ZuThread.h"
#include "session/FileChange.h"
#include "session/NoThrow.h"
#include "session/UploadProgress.h"
#include "session/UploadTuning.h"

namespace zu::blob {
namespace {

constexpr long long kMiB = 1048576;

// Opens the file to upload (`sourceDir` and the file name joined into
// `path`) and takes its identity; null, with the failure line under `tag`
// and the caller's message naming the path and the reason, when it cannot.
std::unique_ptr<zu::SequentialFile> OpenFile(EvDebug* log, const char* tag,
                                             const std::string& sourceDir, const std::string& path,
                                             bool dropPages, zu::FileIdentity& identity,
                                             std::wstring& errorMessage) {
  CPzError error;
  std::unique_ptr<zu::SequentialFile> file = zu::OpenSequentialFile(path, error);
  if (!file) {
    log->Error(tag, "Error: Cannot open the file [%s] to get the size. %s", path.c_str(),
               error.Message().c_str());
    errorMessage = FXString::ToWstring(zu::CannotOpenMessage(sourceDir, path, error));
    return nullptr;
  }
  file->DropPagesAfterRead(dropPages);
  error = file->Identity(identity);
  if (error.IsError()) {
    log->Error(tag, "Error: Failed to get the size of the file [%s]. %s", path.c_str(),
               error.Message().c_str());
    errorMessage = FXString::ToWstring(zu::CannotOpenMessage(sourceDir, path, error));
    return nullptr;
  }
  return file;
}

// The steps of UploadFile.

// The block size and slots for a file of `fileSize` bytes, with the line for
// a raised block size; false with the caller's message for a file no blob
// can hold.
bool PlanFile(EvDebug* log, const std::string& localPath, unsigned long long fileSize,
              long long blobSize, long long streamCount, const zu::UploadTuning& tuning,
              bool encrypted, zu::blob::UploadPlan& plan, std::wstring& errorMessage) {
  plan = zu::blob::PlanUpload(fileSize, static_cast<unsigned long long>(blobSize), streamCount,
                              tuning.parallelBlocks, encrypted);
  if (!plan.fits) {
    const std::string text = "Error: File needs more than " +
                             std::to_string(zu::blob::kMaxBlocksPerBlob) + " blocks of " +
                             std::to_string(zu::blob::kMaxBlockBytes / kMiB) +
                             " MiB, the most a blob can hold.";
    log->Error(kUploadFileTag, "%s File [%s], size [%llu].", text.c_str(), localPath.c_str(),
               fileSize);
    errorMessage = FXString::ToWstring(text);
    return false;
  }
  if (plan.blockSizeCapped) {
    log->Error(kUploadFileTag,
               "Warning: The block size of [%lld] MiB (\"DRBackupUploadBlobSize\") is more than "
               "storage takes in one block; file [%s] is sent in blocks of [%llu] MiB.",
               blobSize / kMiB, localPath.c_str(), plan.blockSize / kMiB);
  }
  if (plan.blockSizeRounded && !plan.blockSizeRaised && !plan.blockSizeCapped) {
    log->DebugLvl(1, kUploadFileTag,
                  "File [%s] is encrypted in regions of 4 MiB: it is sent in blocks of [%llu] "
                  "MiB instead of [%lld] MiB, with [%d] buffer slot(s).",
                  localPath.c_str(), plan.blockSize / kMiB, blobSize / kMiB, plan.slots);
  }
  if (plan.blockSizeRaised) {
    log->Error(kUploadFileTag,
               "Warning: File [%s] of [%llu] bytes needs more than %llu blocks of [%lld] MiB; "
               "it is sent in blocks of [%llu] MiB with [%d] buffer slot(s) instead.",
               localPath.c_str(), fileSize, zu::blob::kMaxBlocksPerBlob, blobSize / kMiB,
               plan.blockSize / kMiB, plan.slots);
  }
  return true;
}

// The checks and the plan of an upload before any request: an access tier
// the setting cannot name is refused with the caller's message, and so is a
// file no blob can hold (at most 50,000 blocks per blob: a file that needs
// more at the configured size gets larger blocks; one that cannot fit at
// all is refused now rather than after uploading all of it). The bandwidth
// cap is set.
bool CheckAndPlan(EvDebug* log, const std::string& localPath, unsigned long long fileSize,
                  long long blobSize, long long streamCount, const zu::UploadTuning& tuning,
                  bool encrypted, zu::blob::UploadPlan& plan, std::wstring& errorMessage) {
  if (!tuning.accessTierProblem.empty()) {
    log->Error(kUploadFileTag, "%s File [%s].", tuning.accessTierProblem.c_str(),
               localPath.c_str());
    errorMessage = FXString::ToWstring(tuning.accessTierProblem);
    return false;
  }
  if (!PlanFile(log, localPath, fileSize, blobSize, streamCount, tuning, encrypted, plan,
                errorMessage)) {
    return false;
  }
  // The cap covers every file byte this process sends, from now on.
  zu::SendPacer::Global().SetRate(static_cast<unsigned long long>(tuning.maxMbps) * 125000ULL);
  return true;
}

// Runs the producer (and through it the uploaders) to its end; false when
// the thread could not start.
bool RunProducer(UploadBlobArgs& args) {
  ZuThread producer;
  if (producer.createThread(&ZUCloudAzureService::UploadBlobChunks, &args) != 0) {
    args.description.log->Error(kUploadFileTag,
                                "Error: Failed to start the upload thread for file [%s].",
                                args.description.filePath.c_str());
    return false;
  }
  producer.joinThread(nullptr);
  return true;
}

// The caller's message for a pass that stopped before its commit.
std::wstring StoppedUploadMessage(const std::string& fileName, const PassOutcome& outcome) {
  if (!outcome.finalMessage.empty()) return FXString::ToWstring(outcome.finalMessage);
  if (!outcome.fileChange.empty()) {
    return FXString::ToWstring(zu::FileChangedMessage(fileName, outcome.fileChange));
  }
  const std::string detail = outcome.failureDetail.empty()
                                 ? std::string("the file could not be read or sent")
                                 : outcome.failureDetail;
  return FXString::ToWstring("Error: Failed to upload file [" + fileName + "] to cloud: " + detail +
                             ". Please check ZUCloudService.log for more details.");
}

// The file's token as the pass starts. False, with the caller's message,
// when the set-up handed out none for it.
bool StartToken(const BlobFile& target, std::string& token, std::wstring& errorMessage) {
  if (target.tokens != nullptr) {
    unsigned int generation = 0;
    token = target.tokens->Token(generation);
    return true;
  }
  target.params.log->error(
      "ZUCloudAzureService(1400): -Error-: Could not find upload token for file [%s]. "
      "Skipping upload",
      target.fileName.c_str());
  errorMessage = L"Could not find an upload token for this file. Skipping upload";
  return false;
}

// A pass that stopped before its commit. Blocks confirmed for a file that
// changed hold content it no longer has, so its journal goes; the caller
// always gets a message, not only the log.
int EndStoppedUpload(const std::string& fileName, const PassOutcome& outcome,
                     ResumeJournal* journal, std::wstring& errorMessage) {
  if (!outcome.fileChange.empty() && journal != nullptr) journal->Remove();
  if (!outcome.fileChange.empty() || errorMessage.empty()) {
    errorMessage = StoppedUploadMessage(fileName, outcome);
  }
  return 0;
}

// Asks for the blocks the service still holds from an interrupted upload
// of this very file (Resume.h); they are not sent again.
ResumeStart StartResume(const std::string& blobUrl, const UploadDescription& args,
                        int maximumBackoff) {
  const SessionParams& params = args.params;
  zu::blob::ResumeRequest request;
  request.blobUrl = blobUrl.substr(0, blobUrl.find('?'));
  request.fileName = args.fileName;
  request.identity = args.identity;
  request.blockSize = args.blockCapacity;
  request.encryption = args.encryption;
  // A 403 (the token expired while the upload was stopped) asks for a fresh
  // token once, as every storage request of the file does; any other
  // refusal, a token without read permission among them, leaves the file
  // to be sent whole.
  const auto withToken = [&args](auto query) {
    decltype(query(args.sasToken)) reply;
    zu::blob::SendWithRefresh(args.tokens, args.sasToken, [&](const std::string& token) {
      reply = query(token);
      zu::blob::StorageJudgement judged;
      judged.status = reply.status;
      judged.verdict = reply.answered ? zu::blob::StorageVerdict::kConfirmed
                       : reply.status == 403 && !reply.noReadPermission
                           ? zu::blob::StorageVerdict::kTokenRefused
                           : zu::blob::StorageVerdict::kFinal;
      return judged;
    });
    return reply;
  };
  request.queryService = [&] {
    return withToken([&](const std::string& token) {
      return zu::blob::QueryUncommittedBlocks(params, request.blobUrl, token, args.fileName,
                                              maximumBackoff);
    });
  };
  // An earlier run's commit is read as a lost commit reply is (BlockList.h).
  request.queryCommitted = [&] {
    return withToken([&](const std::string& token) {
      return zu::blob::QueryBlockList(
          params, request.blobUrl, token, args.fileName, zu::blob::BlockListType::kCommitted,
          BackoffRetry(zu::blob::kCommittedListAttempts, maximumBackoff, false));
    });
  };
  return zu::blob::PrepareResume(request, args.log);
}

// What one pass of an upload needs; the same for both passes of a file.
struct BlockPass : zu::blob::BlobFile {  // contentMd5: blocks and block list carry digests
  zu::blob::UploadPlan plan;
  bool tagged = false;     // block ids carry an upload tag
  bool resume = false;     // with a journal, skipping the blocks it proves stored
  std::string accessTier;  // of the commit, "" for the account's default
  std::string serviceUrl;  // the storage URL blobUrl starts with
};

// The description of one pass, with its resume started: the stored
// blocks, the journal and the tag of the block ids. False, with the
// caller's message, when the file has no upload token.
bool DescribePass(const BlockPass& pass, UploadDescription& upload, ResumeStart& resume,
                  std::wstring& errorMessage) {
  if (!StartToken(pass, upload.sasToken, errorMessage)) return false;
  upload.params = pass.params;
  upload.log = pass.params.log;
  upload.fileName = pass.fileName;
  upload.filePath = pass.localPath;
  upload.blockUploadURL = pass.blobUrl + "?comp=block&blockid=";
  upload.identity = pass.identity;
  upload.tokens = pass.tokens;
  upload.slotCount = pass.plan.slots;
  upload.parallel = pass.plan.parallel;
  upload.blockCapacity = pass.plan.blockSize;
  upload.retryCount = pass.params.retryCount;
  upload.contentMd5 = pass.contentMd5;
  upload.sent = pass.sent;
  upload.encryption = pass.encryption;
  if (pass.resume) {
    resume = StartResume(pass.blobUrl, upload, pass.maximumBackoff);
    upload.stored = std::move(resume.stored);
    upload.journal = resume.journal.get();
    upload.blockTag = resume.tag;
  } else if (pass.tagged) {
    upload.blockTag = NewUploadTag();
  }
  return true;
}

// Commits the block list of a pass whose every block was stored, with the
// whole file's MD5 when the upload makes one: 1 once committed.
int CommitPass(const BlockPass& pass, const UploadDescription& upload, ProducerState& producer,
               ResumeJournal* journal, std::wstring& errorMessage) {
  // The producer was joined: its whole-file digest is complete.
  const std::string fileMd5 = upload.contentMd5 ? producer.fileMd5.FinishBase64() : std::string();
  if (upload.contentMd5 && fileMd5.empty()) {
    // Never a blob without the checksum the settings ask for.
    pass.params.log->Error(kUploadFileTag,
                           "Error: Cannot compute the MD5 of file [%s] (OpenSSL refused MD5); its "
                           "block list is not committed.",
                           pass.localPath.c_str());
    errorMessage = L"Error: Failed to upload file [" + FXString::ToWstring(pass.fileName) +
                   L"] to cloud: MD5 digests are not available.";
    return 0;
  }
  BlockCommit commit;
  commit.blobUrl = pass.blobUrl;
  commit.sasToken = upload.sasToken;
  commit.tokens = pass.tokens;
  commit.fileName = pass.fileName;
  commit.ids = std::move(producer.blockIdList);
  commit.fileMd5Base64 = fileMd5;
  commit.accessTier = pass.accessTier;
  commit.encryptionData = EncryptionDataOf(pass.encryption);
  commit.recognizeLostReply = true;
  commit.fileSize = StoredBytes(pass.encryption, pass.identity.size);
  commit.backoffCapSeconds = pass.maximumBackoff;
  // Should the process die before the reply, the next one looks for this
  // commit first (Resume.h).
  std::string problem;
  if (journal != nullptr && !journal->Append(kJournalCommitLine, problem)) {
    pass.params.log->DebugLvl(
        2, kUploadFileTag, "The commit line of file [%s] could not be added to its journal (%s).",
        pass.fileName.c_str(), problem.c_str());
  }
  MarkSent(pass);
  const int committed = CommitBlocks(pass.params, commit, errorMessage);
  // Committing discards the uncommitted blocks: nothing left to resume.
  if (committed != 0 && journal != nullptr) journal->Remove();
  if (committed == 0 || !pass.verify) return committed;
  return VerifyStoredBlob(pass, upload.sasToken, fileMd5, errorMessage);
}

// A file an earlier run committed (Resume.h): stored, nothing sent. With
// the verify setting its blob is read back as after a commit (its length;
// the file's MD5 is not known without reading the file).
int EndFoundCommitted(const BlockPass& pass, const std::string& sasToken,
                      std::wstring& errorMessage) {
  ReportUploadProgress(pass.fileName, pass.identity.size, pass.identity.size);
  if (!pass.verify) return 1;
  return VerifyStoredBlob(pass, sasToken, std::string(), errorMessage);
}

// A file whose journal another upload holds (Resume.h): nothing is sent,
// and the caller's message says who holds it.
int EndHeldElsewhere(const BlockPass& pass, const std::string& heldBy, std::wstring& errorMessage) {
  errorMessage = FXString::ToWstring("Error: Failed to upload file [" + pass.fileName +
                                     "] to cloud: " + heldBy +
                                     "; nothing was sent, the file is left to that upload.");
  return 0;
}

// Sends every block of the file (those a resume finds stored excepted) and
// commits the block list: 1 once committed. `idLengthRefused` tells that
// the service refused the pass's ids for their length, `usedTag` whether
// those ids carried a tag (a pass asks for one, but gets none when no random
// tag could be made).
int UploadBlocks(const BlockPass& pass, std::unique_ptr<SequentialFile> file, bool& idLengthRefused,
                 bool& usedTag, std::wstring& errorMessage) {
  UploadDescription upload;
  ResumeStart resume;
  if (!DescribePass(pass, upload, resume, errorMessage)) return 0;
  if (!resume.heldBy.empty()) return EndHeldElsewhere(pass, resume.heldBy, errorMessage);
  if (resume.committed) return EndFoundCommitted(pass, upload.sasToken, errorMessage);
  ProducerState producer;
  producer.file = std::move(file);
  SlotBoard board(pass.plan.slots, pass.plan.bufferSize, pass.plan.parallel, pass.params,
                  resume.storedBytes);
  // The first report is where the upload starts: 0, or the bytes found
  // stored.
  ReportUploadProgress(pass.fileName, resume.storedBytes, pass.identity.size);
  UploadBlobArgs args{upload, board, producer};
  if (!RunProducer(args)) return 0;
  // No uploader runs any more: their connections are free for the commit.
  board.CloseGateways();
  const PassOutcome outcome = board.Outcome();
  if (!outcome.complete) {
    idLengthRefused = board.idLengthRefused();
    usedTag = !upload.blockTag.empty();
    // The journal names ids the service refused: a later try starts afresh.
    // After a URL change the journal names blocks at the old URL.
    if ((idLengthRefused || board.urlChanged()) && resume.journal) resume.journal->Remove();
    return EndStoppedUpload(pass.fileName, outcome, resume.journal.get(), errorMessage);
  }
  return CommitPass(pass, upload, producer, resume.journal.get(), errorMessage);
}

// The file sent again whole, without a journal, by a pass of its own
// (`pass` says with which ids and where), after `why` (a warning line).
// Only for the very file of the first pass.
int UploadWhole(const BlockPass& pass, const std::string& why, std::wstring& errorMessage) {
  pass.params.log->Error(kUploadFileTag, "Warning: %s; file [%s] is sent again whole.", why.c_str(),
                         pass.fileName.c_str());
  zu::FileIdentity again;
  std::unique_ptr<zu::SequentialFile> file = OpenFile(
      pass.params.log, kUploadFileTag, "", pass.localPath, pass.dropPages, again, errorMessage);
  if (!file) return 0;
  if (!again.SameContentAs(pass.identity)) {
    const std::string change = zu::DescribeFileChange(pass.identity, again.size, again);
    errorMessage = FXString::ToWstring(zu::FileChangedMessage(
        pass.fileName, change.empty() ? "it was modified while it was read" : change));
    return 0;
  }
  errorMessage.clear();
  bool idLengthRefused = false;
  bool usedTag = false;
  return UploadBlocks(pass, std::move(file), idLengthRefused, usedTag, errorMessage);
}

// When the service refused the first pass's block ids for their length: the
// file sent again whole with ids of the other length (tagged after
// untagged, untagged after tagged).
int UploadWithOtherIds(BlockPass pass, bool firstUsedTag, std::wstring& errorMessage) {
  pass.tagged = !firstUsedTag;
  pass.resume = false;
  return UploadWhole(pass,
                     "The storage service holds uncommitted blocks of another upload of this "
                     "file whose block ids have another length; ids of that length are used",
                     errorMessage);
}

// True when the file's fresh token names another storage URL than the one
// `pass` sent to.
bool UrlChanged(const BlockPass& pass) {
  return pass.tokens != nullptr && pass.tokens->Grant().serviceUrl != pass.serviceUrl;
}

// After a fresh token that names another storage URL: the file sent again
// whole there, with a fresh tag, for as long as the URL keeps changing (each
// change is one of the file's bounded refreshes).
int UploadAtNewUrls(BlockPass pass, std::wstring& errorMessage) {
  int committed = 0;
  while (committed == 0 && UrlChanged(pass)) {
    const std::string serviceUrl = pass.tokens->Grant().serviceUrl;
    pass.blobUrl = serviceUrl + pass.blobUrl.substr(pass.serviceUrl.size());
    pass.serviceUrl = serviceUrl;
    pass.tagged = true;
    pass.resume = false;
    committed = UploadWhole(pass, "A fresh SAS token names another storage URL", errorMessage);
  }
  return committed;
}

// The first pass, and the pass with the other ids when the service refused
// the first one's for their length: 1 once committed.
int UploadInPasses(const BlockPass& pass, std::unique_ptr<zu::SequentialFile> file,
                   std::wstring& errorMessage) {
  bool idLengthRefused = false;
  bool usedTag = false;
  const int committed = UploadBlocks(pass, std::move(file), idLengthRefused, usedTag, errorMessage);
  if (committed != 0) return committed;
  if (UrlChanged(pass)) return UploadAtNewUrls(pass, errorMessage);
  if (!idLengthRefused) return committed;
  return UploadWithOtherIds(pass, usedTag, errorMessage);
}

// The first pass of a file sent in blocks: resumable, with tagged ids,
// when the resume setting is on.
BlockPass MakePass(const zu::blob::BlobFile& target, const zu::blob::UploadPlan& plan,
                   const zu::UploadTuning& tuning) {
  BlockPass pass;
  static_cast<zu::blob::BlobFile&>(pass) = target;
  pass.plan = plan;
  pass.tagged = tuning.resume;
  // The blob's MD5 is that of the stored bytes, and the stored bytes of the
  // blocks an earlier upload sent (their random nonces) are nowhere but in
  // storage: an encrypted file with MD5 digests is always sent whole.
  pass.resume = tuning.resume && !(target.encryption != nullptr && tuning.contentMd5);
  pass.accessTier = tuning.accessTier;
  if (target.tokens != nullptr) pass.serviceUrl = target.tokens->Grant().serviceUrl;
  return pass;
}

// True for a file no larger than "DRBackupUploadSingleRequestMiB".
bool FitsOneRequest(const zu::UploadTuning& tuning, unsigned long long fileSize) {
  return tuning.singleRequestMiB > 0 &&
         fileSize <= static_cast<unsigned long long>(tuning.singleRequestMiB) * kMiB;
}

// A file no larger than "DRBackupUploadSingleRequestMiB", in one Put Blob.
int UploadSmallFile(const zu::blob::BlobFile& target, zu::SequentialFile* file,
                    const std::string& accessTier, std::wstring& errorMessage) {
  zu::blob::SingleRequestUpload single;
  EvDebug* log = target.params.log;
  if (!StartToken(target, single.sasToken, errorMessage)) return 0;
  log->DebugLvl(2, kUploadFileTag, "File [%s] of [%llu] bytes is sent in one request.",
                target.fileName.c_str(), target.identity.size);
  static_cast<zu::blob::BlobFile&>(single) = target;
  single.file = file;
  single.accessTier = accessTier;
  return zu::blob::UploadInOneRequest(single, errorMessage);
}

}  // namespace

std::unique_ptr<SequentialFile> OpenFileForUpload(EvDebug* log, const std::string& sourceDir,
                                                  const std::string& path, bool dropPages,
                                                  FileIdentity& identity,
                                                  std::wstring& errorMessage) {
  return OpenFile(log, kUploadFileTag, sourceDir, path, dropPages, identity, errorMessage);
}

bool PlanFileUpload(EvDebug* log, const std::string& localPath, unsigned long long fileSize,
                    long long blobSize, long long streamCount, const UploadTuning& tuning,
                    bool encrypted, UploadPlan& plan, std::wstring& errorMessage) {
  return CheckAndPlan(log, localPath, fileSize, blobSize, streamCount, tuning, encrypted, plan,
                      errorMessage);
}

int StoreFile(const BlobFile& target, std::unique_ptr<SequentialFile> file, const UploadPlan& plan,
              const UploadTuning& tuning, std::wstring& errorMessage) {
  // A small file goes in one Put Blob. Otherwise one pass sends every
  // block and commits the list. The ids of a pass that may be resumed
  // carry an upload tag (BlockId.h); when the service refuses them for
  // their length, one more pass sends the file whole with ids of the
  // other length (UploadWithOtherIds).
  return FitsOneRequest(tuning, target.identity.size)
             ? UploadSmallFile(target, file.get(), tuning.accessTier, errorMessage)
             : UploadInPasses(MakePass(target, plan, tuning), std::move(file), errorMessage);
}

}  // namespace zu::blob
