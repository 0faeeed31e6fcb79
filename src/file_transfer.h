// The transfer of one manifest file over the mirrors: the mirror order, up to three
// attempts per mirror, the resume of what the job's temporary file holds, and the
// check of every copy. Which temporary file stays is the job's to decide.
#pragma once

#include "http.h"
#include "job.h"
#include "mirrors.h"
#include "run_context.h"

#include <string>

namespace tolvek {

// One job's file, with where its bytes go and where its progress is told.
struct FileDownload {
    FileJob& job;
    const std::wstring& temporaryPath;
    const TransferReport& report;  // the file's progress
    UrlEncoding urlEncoding = UrlEncoding::Legacy;  // the manifest's, for the file's URLs
};

// Brings a verified copy of the job's file to its temporary path (the job ends
// Verified), trying the mirrors in the run's order with up to three attempts each.
// A mirror that failed every attempt by a fault of its own (no status, a server
// error, a broken body, other bytes than the manifest's) moves to the end of the
// order. A file that cannot be created or written locally ends the transfer at
// once. A resumable entry's temporary file is continued rather than restarted, from
// one attempt to the next, one mirror to the next and one run to the next. A cancel
// leaves the job as the transfer stopped it.
Outcome TransferFile(const RunContext& run, const FileDownload& file, MirrorOrder& mirrors);

}  // namespace tolvek
