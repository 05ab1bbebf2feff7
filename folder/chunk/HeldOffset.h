// What the offset the server names for a chunk means for the upload.
//
// The chunked upload is append-only: a request's bytes land where the
// server's offset says, whatever the client thinks it sent before. So the
// offset the server holds, named by a chunk's reply or by an offset query,
// is the only truth about what it has, and it alone decides the next step.
#ifndef ZUCLOUD_FOLDER_CHUNK_HELD_OFFSET_H
#define ZUCLOUD_FOLDER_CHUNK_HELD_OFFSET_H

#include <optional>

namespace zu::folder {

enum class HeldStep {
  kConfirmed,    // the server holds the chunk exactly: go on with the next one
  kResendChunk,  // it holds everything before the chunk: send the chunk again
  kReadFrom,     // it holds an earlier chunk boundary: read the file again from there
  kRestart,      // anything else: a new session from byte 0
  kAsk,          // the reply named no offset: ask the server before sending again
};

struct HeldDecision {
  HeldStep step;
  long long from;  // kReadFrom: the offset to read from; kRestart, kAsk: 0
};

// The step for a chunk of [chunkStart, chunkEnd) whose server names `held`;
// `chunkSize` is the size of every chunk but the last, so the boundaries of
// this upload are its multiples. `held` of the chunk's end confirms it (an
// empty last chunk starts where it ends: that is a confirmation too); of
// its start, the chunk goes again; of a multiple of `chunkSize` above 0 and
// below the start, the file is read again from there; anything else (0,
// off a boundary, inside the chunk, past its end, negative) starts over.
// A reply that names no offset tells nothing: the server is asked.
HeldDecision JudgeHeldOffset(std::optional<long long> held, long long chunkStart,
                             long long chunkEnd, long long chunkSize);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_CHUNK_HELD_OFFSET_H
