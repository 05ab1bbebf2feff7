"""Runs the upload benchmarks and prints one report table.

Called by scripts/bench.sh after the build; run it with Debian's
/usr/bin/python3, whose python3-azure-storage package is the Python SDK
baseline. Everything uploaded goes to the local cloud emulator (web console,
upload server) and to Azurite behind it, all on 127.0.0.1.

Measurements (each repeated --rounds times, rounds interleaved so that a
slow moment of the machine hits every contender alike; the median is
reported):

  pagecache  the 1 GiB blob file (and the 256 MiB folder file), made
          resident in the page cache whole, uploaded with
          bEnableZUCloudDRBackupKeepPageCache off and on: the file's bytes
          still in the page cache once UploadFile returned (fincore, or
          mincore), against the blocks in flight (parallel blocks x block
          size; one 4 MiB chunk for the folder service).
  folder  the library's ZUCloudService::UploadFile of a 256 MiB file, 4 MiB
          chunks, against curl POSTing the same chunks with the same headers
          to the same upload endpoint: one curl process opens the session,
          one more sends the other chunks over one connection, "FileEOF" on
          the last. The target's baseline streams each chunk file as the
          body; for information also curl loading each chunk into memory
          first (--data-binary) and curl on a new connection per chunk.
  blob    the library's ZUCloudAzureService::UploadFile of a 1 GiB file with
          the default settings (16 MiB blocks, 10 streams), on two paths:
          through the emulator's storage proxy (the container URL the set-up
          hands out) and straight to Azurite (the set-up reply overridden
          through the emulator's "blob_setup_reply" knob). On each path curl
          sends the same 64 blocks one at a time with Put Block and the same
          SAS, then the block list, over one connection (and, straight to
          Azurite, for information, once more with each block loaded into
          memory first); and the Azure Storage SDK for Python runs
          upload_blob with its defaults (4 MiB blocks, max_concurrency 1)
          and with 16 MiB blocks at max_concurrency 1 (the library sends one
          block at a time); straight to Azurite, for information, also with
          16 MiB blocks at max_concurrency 10.
  encryption  client-side encryption (DRBackupEncryptionKeyFile, a key
          file of mode 0600 made in the scratch directory) on against off:
          the blob file to the discard sink over http (CPU per GiB of
          UploadFile, both reading a file resident in the page cache), and
          the WAN file through the WAN-like link with 10 parallel blocks
          (throughput); beside `openssl speed -evp aes-256-gcm`.

Every blob measurement gets a freshly started emulator and Azurite: Azurite
keeps blobs in memory and frees deleted ones only in a garbage collection
every ten minutes, so a shared instance would grow by a GiB per run.

The library's programs report wall and CPU time of UploadFile alone and the
peak RSS of their process; curl's CPU time is the rusage of its processes,
the SDK's the rusage of its process around upload_blob.

Modules:
  cli         the options, the test files, the run, the report and the chart
  runner      the state of a run and the rounds of every benchmark, interleaved,
              each result recorded with the machine's 1-minute load average
  report      the report: the services against their baselines, then each
              benchmark's section, the runs and the header check
  tables      figures (medians, per-round ratios, load ranges) and tables
  common      shared constants and helpers
  machine     load, page cache, programs run with their rusage
  servers     the cloud emulator with Azurite, the WAN-like link
  uploaders   the library's, curl's and the SDK's blob uploads and checks
  one module per benchmark: folder, folder_far, blob, wan, sink, sink_https,
  cap, md5, small, https, https_large, large, pagecache, encryption
"""

import os
import sys

from .common import ROOT

sys.path.insert(0, os.path.join(ROOT, "emulator"))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
