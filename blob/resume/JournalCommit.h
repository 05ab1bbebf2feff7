// Whether an interrupted upload was in fact committed: a process killed
// after storage committed its block list, but before the reply came back,
// leaves a journal that names every block (and usually the commit line).
// The next process reads the blob's committed block list and compares it
// with the journal; these are the comparisons, with no I/O of their own.
#ifndef ZUCLOUD_BLOB_RESUME_JOURNAL_COMMIT_H
#define ZUCLOUD_BLOB_RESUME_JOURNAL_COMMIT_H

#include <vector>

#include "blob/resume/ResumeJournal.h"
#include "blob/storage/UncommittedBlocks.h"

namespace zu::blob {

// True when the journal says the commit may have been made: its commit line
// was written, or every block of the file (at least one) was confirmed.
// An empty file has no block and is never looked for: sending it costs
// nothing.
bool CommitMayBeDone(const JournalContent& journal);

// True when `committed` (the blob's committed block list, in its order) is
// the list the journal's upload commits: one entry per block of the file
// (at least one), each the block's id under the journal's tag, in file
// order, each of the block's stored length (its StoredLength when
// `encrypted`), adding up to the file's stored length.
bool JournalNamesCommit(const JournalContent& journal, const std::vector<ListedBlock>& committed,
                        bool encrypted);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_RESUME_JOURNAL_COMMIT_H
