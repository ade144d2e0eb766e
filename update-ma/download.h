// Fetches the registry files with one libcurl easy handle into the library
// directory. Each file is written to a temporary name first and replaces the
// previous copy only once the transfer has succeeded. Every failure is fatal.
#pragma once

#include <curl/curl.h>

// Creates and configures the one transfer handle the downloads share.
CURL* download_setup(const char* user_agent);

// Downloads url to "<library_directory>/<table>.csv". Returns only on success.
// REQUIRES: the library directory passed the updater's path check.
void download_registry(CURL* curl, const char* table, const char* url);

// libcurl's transfer-information callback: one progress line, overwritten in
// place, in KiB. Never aborts the transfer.
int show_progress(void* user, curl_off_t download_total, curl_off_t download_now,
                  curl_off_t upload_total, curl_off_t upload_now);
