// The block upload engine of ZUCloudAzureService: UploadFile and its two
// thread routines, the producer UploadBlobChunks and the uploader UploadBlob.
//
// UploadFile cuts a file into blocks of m_uploadBlobSize bytes (larger for a
// file that would need more than 50,000 blocks, see UploadPlan.h); the
// producer reads them into at most m_uploadStreamCount buffer slots and
// queues one uploader task per block on a pool; each task sends its block
// with Put Block; when every block is stored the block list is committed
// (BlockList.h). The hand-over protocol is described in
// UploadBlobArgs.h: by default one turn token, so at most one Put Block is
// in flight and reading never overlaps a send. With the MD5 setting every
// block carries its Content-MD5 and the commit the whole file's MD5; the
// access tier setting goes with the commit (StoreHeaders.h). With the verify
// setting the stored blob is checked after its commit (VerifyBlob.h).

#include "blob/engine/FileUpload.h"

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "ZUCloudAzureService.h"
#include "blob/engine/SlotHandOver.h"
#include "blob/engine/UploadPlan.h"
#include "blob/resume/Resume.h"
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

// Opens the file to upload and takes its identity, with the two failure
// lines of the size check under `tag`.
std::unique_ptr<zu::SequentialFile> OpenFile(EvDebug* log, const char* tag, const std::string& path,
                                             bool dropPages, zu::FileIdentity& identity) {
  CPzError error;
  std::unique_ptr<zu::SequentialFile> file = zu::OpenSequentialFile(path, error);
  if (!file) {
    log->Error(
        tag, "Error: Cannot open the file [%s] to get the size, make sure you have permissions. %s",
        path.c_str(), error.Message().c_str());
    return nullptr;
  }
  file->DropPagesAfterRead(dropPages);
  error = file->Identity(identity);
  if (error.IsError()) {
    log->Error(tag, "Error: Failed to get the size of the file [%s]. %s", path.c_str(),
               error.Message().c_str());
    return nullptr;
  }
  return file;
}

// Releases every slot's buffer and gateway when UploadFile's scope ends,
// whichever way it ends. Declared after the semaphore and before the
// producer thread, so it runs after the thread was joined.
class SlotRelease {
 public:
  SlotRelease(ZUCloudAzureService& service, UploadBlobArgs& args)
      : m_service(service), m_args(args) {}
  ~SlotRelease() {
    closeGateways();
    if (!m_args.blobInfo) return;
    for (int i = 0; i < m_args.slotCount; ++i) {
      BlobInfo& slot = m_args.blobInfo[i];
      slot.pages = zu::PageBuffer();
      slot.buffer = nullptr;
    }
  }

  // Closes the slots' gateways once no uploader runs any more, so that
  // their connections are free (pooled) for the block list commit.
  void closeGateways() {
    if (!m_args.blobInfo) return;
    for (int i = 0; i < m_args.slotCount; ++i) {
      BlobInfo& slot = m_args.blobInfo[i];
      if (slot.gateway != nullptr) {
        m_service.closeZuInternetGateway(slot.gateway);
        delete slot.gateway;
        slot.gateway = nullptr;
      }
    }
  }
  SlotRelease(const SlotRelease&) = delete;
  SlotRelease& operator=(const SlotRelease&) = delete;

 private:
  ZUCloudAzureService& m_service;
  UploadBlobArgs& m_args;
};

// The steps of UploadFile.

// The block size and slots for a file of `fileSize` bytes, with the line for
// a raised block size; false with the caller's message for a file no blob
// can hold.
bool PlanFile(EvDebug* log, const std::string& localPath, unsigned long long fileSize,
              long long blobSize, long long streamCount, const zu::UploadTuning& tuning,
              zu::blob::UploadPlan& plan, std::wstring& errorMessage) {
  plan = zu::blob::PlanUpload(fileSize, static_cast<unsigned long long>(blobSize), streamCount,
                              tuning.parallelBlocks);
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
                  zu::blob::UploadPlan& plan, std::wstring& errorMessage) {
  if (!tuning.accessTierProblem.empty()) {
    log->Error(kUploadFileTag, "%s File [%s].", tuning.accessTierProblem.c_str(),
               localPath.c_str());
    errorMessage = FXString::ToWstring(tuning.accessTierProblem);
    return false;
  }
  if (!PlanFile(log, localPath, fileSize, blobSize, streamCount, tuning, plan, errorMessage)) {
    return false;
  }
  // The cap covers every file byte this process sends, from now on.
  zu::SendPacer::Global().SetRate(static_cast<unsigned long long>(tuning.maxMbps) * 125000ULL);
  return true;
}

// Gives every slot its buffer: zeroed, page-aligned memory from the system,
// which costs nothing until a block is read into it (and into which the
// kernel copies file pages several times faster than into a heap block).
// Runs before the producer starts: no other thread sees `args` yet.
void AllocateSlots(UploadBlobArgs& args, unsigned long long bufferSize) NO_THREAD_SAFETY_ANALYSIS {
  args.blobInfo.reset(new BlobInfo[static_cast<size_t>(args.slotCount)]);
  for (int i = 0; i < args.slotCount; ++i) {
    args.blobInfo[i].pages = zu::PageBuffer(static_cast<size_t>(bufferSize));
    args.blobInfo[i].buffer = args.blobInfo[i].pages.data();
    args.emptyBlobQueue.push_front(i);  // slot 0 is taken first
  }
}

// Runs the producer (and through it the uploaders) to its end; false when
// the thread could not start.
bool RunProducer(UploadBlobArgs& args) {
  ZuThread producer;
  if (producer.createThread(&ZUCloudAzureService::UploadBlobChunks, &args) != 0) {
    args.log->Error(kUploadFileTag, "Error: Failed to start the upload thread for file [%s].",
                    args.filePath.c_str());
    return false;
  }
  producer.joinThread(nullptr);
  return true;
}

// The caller's message for an upload that stopped before its commit. Runs
// once the producer was joined: no other thread uses `args` any more.
std::wstring StoppedUploadMessage(const UploadBlobArgs& args) NO_THREAD_SAFETY_ANALYSIS {
  if (!args.finalMessage.empty()) return FXString::ToWstring(args.finalMessage);
  if (!args.fileChange.empty()) {
    return FXString::ToWstring(zu::FileChangedMessage(args.fileName, args.fileChange));
  }
  const std::string detail = args.failureDetail.empty()
                                 ? std::string("the file could not be read or sent")
                                 : args.failureDetail;
  return FXString::ToWstring("Error: Failed to upload file [" + args.fileName + "] to cloud: " +
                             detail + ". Please check ZUCloudService.log for more details.");
}

// The SAS token of the file's upload. False, with the caller's message, when
// the set-up handed out none for it.
bool FindUploadToken(ZUCloudAzureService& service, EvDebug* log, const std::string& fileName,
                     std::string& token, std::wstring& errorMessage) {
  if (service.GetSASTokenForFile(fileName, token)) return true;
  log->error(
      "ZUCloudAzureService(1400): -Error-: Could not find upload token for file [%s]. "
      "Skipping upload",
      fileName.c_str());
  errorMessage = L"Could not find an upload token for this file. Skipping upload";
  return false;
}

// An upload that stopped before its commit. Blocks confirmed for a file
// that changed hold content it no longer has, so its journal goes; the
// caller always gets a message, not only the log. Runs once the producer
// was joined.
int EndStoppedUpload(const UploadBlobArgs& args, zu::blob::ResumeJournal* journal,
                     std::wstring& errorMessage) NO_THREAD_SAFETY_ANALYSIS {
  if (!args.fileChange.empty() && journal != nullptr) journal->Remove();
  if (!args.fileChange.empty() || errorMessage.empty()) errorMessage = StoppedUploadMessage(args);
  return 0;
}

// Asks for the blocks the service still holds from an interrupted upload
// of this very file (Resume.h); they are not sent again.
zu::blob::ResumeStart StartResume(const zu::SessionParams& params, const std::string& blobUrl,
                                  const UploadBlobArgs& args, int maximumBackoff) {
  zu::blob::ResumeRequest request;
  request.blobUrl = blobUrl.substr(0, blobUrl.find('?'));
  request.fileName = args.fileName;
  request.identity = args.identity;
  request.blockSize = args.blockCapacity;
  // A 403 (the token expired while the upload was stopped) asks for a fresh
  // token once, as every storage request of the file does; any other
  // refusal leaves the file to be sent whole.
  request.queryService = [&] {
    zu::blob::UncommittedBlocks held;
    zu::blob::SendWithRefresh(args.tokens, args.sasToken, [&](const std::string& token) {
      held = zu::blob::QueryUncommittedBlocks(params, request.blobUrl, token, args.fileName,
                                              maximumBackoff);
      zu::blob::StorageJudgement judged;
      judged.status = held.status;
      judged.verdict = held.answered        ? zu::blob::StorageVerdict::kConfirmed
                       : held.status == 403 ? zu::blob::StorageVerdict::kTokenRefused
                                            : zu::blob::StorageVerdict::kFinal;
      return judged;
    });
    return held;
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

// Fills the upload state of one pass and starts its resume: the stored
// blocks, the journal and the tag of the block ids. False, with the
// caller's message, when the file has no upload token.
bool PreparePass(ZUCloudAzureService& service, const BlockPass& pass,
                 std::unique_ptr<zu::SequentialFile> file, UploadBlobArgs& args,
                 zu::blob::ResumeStart& resume,
                 std::wstring& errorMessage) NO_THREAD_SAFETY_ANALYSIS {
  args.blockUploadURL = pass.blobUrl + "?comp=block&blockid=";
  args.fileName = pass.fileName;
  args.filePath = pass.localPath;
  args.file = std::move(file);
  args.identity = pass.identity;
  if (!FindUploadToken(service, pass.params.log, pass.fileName, args.sasToken, errorMessage)) {
    return false;
  }
  unsigned int generation = 0;
  if (pass.tokens != nullptr) args.sasToken = pass.tokens->Token(generation);
  args.tokens = pass.tokens;
  args.service = &service;
  args.log = pass.params.log;
  args.slotCount = pass.plan.slots;
  args.parallel = pass.plan.parallel;
  args.blockCapacity = pass.plan.blockSize;
  args.retryCount = pass.params.retryCount;
  args.contentMd5 = pass.contentMd5;
  args.sent = pass.sent;
  if (pass.resume) {
    resume = StartResume(pass.params, pass.blobUrl, args, pass.maximumBackoff);
    args.stored = std::move(resume.stored);
    args.journal = resume.journal.get();
    args.bytesConfirmed = resume.storedBytes;
    args.blockTag = resume.tag;
  } else if (pass.tagged) {
    args.blockTag = zu::blob::NewUploadTag();
  }
  return true;
}

// Commits the block list of a pass whose every block was stored, with the
// whole file's MD5 when the upload makes one: 1 once committed.
int CommitPass(const BlockPass& pass, UploadBlobArgs& args, zu::blob::ResumeJournal* journal,
               std::wstring& errorMessage) {
  // The producer was joined: its whole-file digest is complete.
  const std::string fileMd5 = args.contentMd5 ? args.fileMd5.FinishBase64() : std::string();
  if (args.contentMd5 && fileMd5.empty()) {
    // Never a blob without the checksum the settings ask for.
    pass.params.log->Error(kUploadFileTag,
                           "Error: Cannot compute the MD5 of file [%s] (OpenSSL refused MD5); its "
                           "block list is not committed.",
                           pass.localPath.c_str());
    errorMessage = L"Error: Failed to upload file [" + FXString::ToWstring(pass.fileName) +
                   L"] to cloud: MD5 digests are not available.";
    return 0;
  }
  zu::blob::BlockCommit commit;
  commit.blobUrl = pass.blobUrl;
  commit.sasToken = args.sasToken;
  commit.tokens = pass.tokens;
  commit.fileName = pass.fileName;
  commit.ids = std::move(args.blockIdList);
  commit.fileMd5Base64 = fileMd5;
  commit.accessTier = pass.accessTier;
  commit.recognizeLostReply = true;
  commit.fileSize = pass.identity.size;
  commit.backoffCapSeconds = pass.maximumBackoff;
  zu::blob::MarkSent(pass);
  const int committed = zu::blob::CommitBlocks(pass.params, commit, errorMessage);
  // Committing discards the uncommitted blocks: nothing left to resume.
  if (committed != 0 && journal != nullptr) journal->Remove();
  if (committed == 0 || !pass.verify) return committed;
  return zu::blob::VerifyStoredBlob(pass, args.sasToken, fileMd5, errorMessage);
}

// Sends every block of the file (those a resume finds stored excepted) and
// commits the block list: 1 once committed. `idLengthRefused` tells that
// the service refused the pass's ids for their length, `usedTag` whether
// those ids carried a tag (a pass asks for one, but gets none when no random
// tag could be made). The upload state is
// touched here only before the producer starts and after it was joined.
int UploadBlocks(ZUCloudAzureService& service, const BlockPass& pass,
                 std::unique_ptr<zu::SequentialFile> file, bool& idLengthRefused, bool& usedTag,
                 std::wstring& errorMessage) NO_THREAD_SAFETY_ANALYSIS {
  UploadBlobArgs args;
  // One token per Put Block that may be in flight (one by default).
  ZuSemaphore turn(pass.plan.parallel);
  args.semaphore = &turn;
  zu::blob::ResumeStart resume;
  if (!PreparePass(service, pass, std::move(file), args, resume, errorMessage)) return 0;
  SlotRelease release(service, args);
  AllocateSlots(args, pass.plan.bufferSize);

  // The first report is where the upload starts: 0, or the bytes found
  // stored.
  zu::ReportUploadProgress(pass.fileName, resume.storedBytes, pass.identity.size);
  if (!RunProducer(args)) return 0;
  release.closeGateways();
  if (!args.bUploadComplete || args.bAnyChunkUploadFailed) {
    idLengthRefused = args.idLengthRefused.load();
    usedTag = !args.blockTag.empty();
    // The journal names ids the service refused: a later try starts afresh.
    // After a URL change the journal names blocks at the old URL.
    if ((idLengthRefused || args.urlChanged.load()) && resume.journal) resume.journal->Remove();
    return EndStoppedUpload(args, resume.journal.get(), errorMessage);
  }
  return CommitPass(pass, args, resume.journal.get(), errorMessage);
}

// The file sent again whole, without a journal, by a pass of its own
// (`pass` says with which ids and where), after `why` (a warning line).
// Only for the very file of the first pass.
int UploadWhole(ZUCloudAzureService& service, const BlockPass& pass, const std::string& why,
                std::wstring& errorMessage) {
  pass.params.log->Error(kUploadFileTag, "Warning: %s; file [%s] is sent again whole.", why.c_str(),
                         pass.fileName.c_str());
  zu::FileIdentity again;
  std::unique_ptr<zu::SequentialFile> file =
      OpenFile(pass.params.log, kUploadFileTag, pass.localPath, pass.dropPages, again);
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
  return UploadBlocks(service, pass, std::move(file), idLengthRefused, usedTag, errorMessage);
}

// When the service refused the first pass's block ids for their length: the
// file sent again whole with ids of the other length (tagged after
// untagged, untagged after tagged).
int UploadWithOtherIds(ZUCloudAzureService& service, BlockPass pass, bool firstUsedTag,
                       std::wstring& errorMessage) {
  pass.tagged = !firstUsedTag;
  pass.resume = false;
  return UploadWhole(service, pass,
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
int UploadAtNewUrls(ZUCloudAzureService& service, BlockPass pass, std::wstring& errorMessage) {
  int committed = 0;
  while (committed == 0 && UrlChanged(pass)) {
    const std::string serviceUrl = pass.tokens->Grant().serviceUrl;
    pass.blobUrl = serviceUrl + pass.blobUrl.substr(pass.serviceUrl.size());
    pass.serviceUrl = serviceUrl;
    pass.tagged = true;
    pass.resume = false;
    committed =
        UploadWhole(service, pass, "A fresh SAS token names another storage URL", errorMessage);
  }
  return committed;
}

// The first pass, and the pass with the other ids when the service refused
// the first one's for their length: 1 once committed.
int UploadInPasses(ZUCloudAzureService& service, const BlockPass& pass,
                   std::unique_ptr<zu::SequentialFile> file, std::wstring& errorMessage) {
  bool idLengthRefused = false;
  bool usedTag = false;
  const int committed =
      UploadBlocks(service, pass, std::move(file), idLengthRefused, usedTag, errorMessage);
  if (committed != 0) return committed;
  if (UrlChanged(pass)) return UploadAtNewUrls(service, pass, errorMessage);
  if (!idLengthRefused) return committed;
  return UploadWithOtherIds(service, pass, usedTag, errorMessage);
}

// The first pass of a file sent in blocks: resumable, with tagged ids,
// when the resume setting is on.
BlockPass MakePass(const zu::blob::BlobFile& target, const zu::blob::UploadPlan& plan,
                   const zu::UploadTuning& tuning) {
  BlockPass pass;
  static_cast<zu::blob::BlobFile&>(pass) = target;
  pass.plan = plan;
  pass.tagged = tuning.resume;
  pass.resume = tuning.resume;
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
int UploadSmallFile(ZUCloudAzureService& service, const zu::blob::BlobFile& target,
                    zu::SequentialFile* file, const std::string& accessTier,
                    std::wstring& errorMessage) {
  zu::blob::SingleRequestUpload single;
  EvDebug* log = target.params.log;
  if (!FindUploadToken(service, log, target.fileName, single.sasToken, errorMessage)) return 0;
  log->DebugLvl(2, kUploadFileTag, "File [%s] of [%llu] bytes is sent in one request.",
                target.fileName.c_str(), target.identity.size);
  static_cast<zu::blob::BlobFile&>(single) = target;
  single.file = file;
  single.accessTier = accessTier;
  return zu::blob::UploadInOneRequest(single, errorMessage);
}

}  // namespace

std::unique_ptr<SequentialFile> OpenFileForUpload(EvDebug* log, const std::string& path,
                                                  bool dropPages, FileIdentity& identity) {
  return OpenFile(log, kUploadFileTag, path, dropPages, identity);
}

bool PlanFileUpload(EvDebug* log, const std::string& localPath, unsigned long long fileSize,
                    long long blobSize, long long streamCount, const UploadTuning& tuning,
                    UploadPlan& plan, std::wstring& errorMessage) {
  return CheckAndPlan(log, localPath, fileSize, blobSize, streamCount, tuning, plan, errorMessage);
}

int StoreFile(ZUCloudAzureService& service, const BlobFile& target,
              std::unique_ptr<SequentialFile> file, const UploadPlan& plan,
              const UploadTuning& tuning, std::wstring& errorMessage) {
  // A small file goes in one Put Blob. Otherwise one pass sends every
  // block and commits the list. The ids of a pass that may be resumed
  // carry an upload tag (BlockId.h); when the service refuses them for
  // their length, one more pass sends the file whole with ids of the
  // other length (UploadWithOtherIds).
  return FitsOneRequest(tuning, target.identity.size)
             ? UploadSmallFile(service, target, file.get(), tuning.accessTier, errorMessage)
             : UploadInPasses(service, MakePass(target, plan, tuning), std::move(file),
                              errorMessage);
}

}  // namespace zu::blob
