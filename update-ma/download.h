// Fetches the registry files with one libcurl easy handle into the library
// directory. Each file is written to a temporary name first and replaces the
// previous copy only once the transfer has succeeded. Every failure is fatal.
#pragma once

#include <curl/curl.h>

#include "library_dir.h"

// When a transfer is given up as stalled. The three registries are about
// 4 MB together: at the slowest rate allowed (1,000 bytes/s) a run lasts
// about 70 minutes, which the service's start time-out allows for, while a
// server that never answers the connection, accepts it and then sends
// nothing, or sends a trickle, ends the run after a minute instead of
// blocking every later timer run.
struct TransferLimits {
    // Name resolution, TCP and TLS handshakes together, in seconds.
    long connect_timeout;
    // Abort when fewer than low_speed_bytes per second arrive for
    // low_speed_time seconds in a row.
    long low_speed_bytes;
    long low_speed_time;
};
constexpr TransferLimits kTransferLimits{60, 1000, 60};

// The one transfer handle the downloads share, with the buffer libcurl
// writes its details into on failure (which must outlive the handle, and
// so lives in the same object). Tests pass shorter limits; the program
// always uses kTransferLimits.
class Downloader {
   public:
    // Ends the process when the handle cannot be made or configured.
    Downloader(const char* user_agent, const TransferLimits& limits);
    ~Downloader();
    // libcurl keeps a pointer to error_: the object stays where it is.
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Downloads url to "<library>/<table>.csv". Returns only on success.
    // REQUIRES: the library directory passed the updater's path check.
    void fetch(const LibraryDir& library, const char* table, const char* url);

   private:
    CURL* curl_;
    char error_[CURL_ERROR_SIZE] = {};
};

// libcurl's transfer-information callback: one progress line, overwritten in
// place, in KiB. Never aborts the transfer.
int show_progress(void* user, curl_off_t download_total, curl_off_t download_now,
                  curl_off_t upload_total, curl_off_t upload_now);
