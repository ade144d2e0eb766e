#include "download.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <string>

#include "diag.h"

Downloader::Downloader(const char* user_agent, const TransferLimits& limits)
    : curl_(curl_easy_init()) {
    CURL* curl = curl_;
    if (curl == nullptr) diag_fatal("curl initialization failed\n");

    // libcurl writes its detail here on failure; the messages use
    // curl_easy_strerror instead.
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_);
    if (rc != CURLE_OK) {
        diag_fatal("setopt for CURLOPT_ERRORBUFFER failed: %s\n", curl_easy_strerror(rc));
    }
    rc = curl_easy_setopt(curl, CURLOPT_USERAGENT, user_agent);
    if (rc != CURLE_OK) {
        diag_fatal("setopt for CURLOPT_USERAGENT failed: %s\n", curl_easy_strerror(rc));
    }
    rc = curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    if (rc != CURLE_OK) {
        diag_fatal("setopt for CURLOPT_FOLLOWLOCATION failed: %s\n", curl_easy_strerror(rc));
    }
    // An error page must never be mistaken for a registry file.
    rc = curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    if (rc != CURLE_OK) {
        diag_fatal("setopt for CURLOPT_FAILONERROR failed: %s\n", curl_easy_strerror(rc));
    }
    rc = curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, show_progress);
    if (rc != CURLE_OK) {
        diag_fatal("setopt for CURLOPT_XFERINFOFUNCTION failed: %s\n", curl_easy_strerror(rc));
    }
    rc = curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    if (rc != CURLE_OK) {
        diag_fatal("setopt for CURLOPT_NOPROGRESS failed: %s\n", curl_easy_strerror(rc));
    }
    // A stalled server must end the run like any failed download; a oneshot
    // service that never ends keeps its timer from starting later runs.
    rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connect_timeout);
    if (rc != CURLE_OK) {
        diag_fatal("setopt for CURLOPT_CONNECTTIMEOUT failed: %s\n", curl_easy_strerror(rc));
    }
    rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_bytes);
    if (rc != CURLE_OK) {
        diag_fatal("setopt for CURLOPT_LOW_SPEED_LIMIT failed: %s\n", curl_easy_strerror(rc));
    }
    rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.low_speed_time);
    if (rc != CURLE_OK) {
        diag_fatal("setopt for CURLOPT_LOW_SPEED_TIME failed: %s\n", curl_easy_strerror(rc));
    }
}

Downloader::~Downloader() { curl_easy_cleanup(curl_); }

void Downloader::fetch(const LibraryDir& library, const char* table, const char* url) {
    CURL* curl = curl_;
    const std::string temporary = library.file(table, ".tmp");
    const std::string final_name = library.file(table, ".csv");
    const char* temporary_path = temporary.c_str();
    const char* final_path = final_name.c_str();

    std::FILE* file = std::fopen(temporary_path, "w");
    if (file == nullptr) diag_fatal("failed to open %s: %s\n", temporary_path, std::strerror(errno));

    // libcurl's own writer stores the body with fwrite into this file.
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, file);
    if (rc != CURLE_OK) {
        diag_fatal("setopt for CURLOPT_WRITEDATA failed: %s\n", curl_easy_strerror(rc));
    }
    rc = curl_easy_setopt(curl, CURLOPT_URL, url);
    if (rc != CURLE_OK) diag_fatal("setopt for CURLOPT_URL failed: %s\n", curl_easy_strerror(rc));

    std::printf("Downloading %s to %s\n", url, final_path);
    rc = curl_easy_perform(curl);
    // Ends the progress line whatever the outcome.
    std::puts("\ncomplete");
    std::fflush(stdout);
    // The old file stays in place; the partial one is left for inspection.
    if (rc != CURLE_OK) diag_fatal("download failed: %s\n", curl_easy_strerror(rc));

    if (std::fclose(file) != 0) {
        diag_fatal("failed to close %s: %s\n", temporary_path, std::strerror(errno));
    }
    if (std::rename(temporary_path, final_path) != 0) {
        diag_fatal("failed to rename %s to %s: %s\n", temporary_path, final_path,
                   std::strerror(errno));
    }
}

int show_progress(void* user, curl_off_t download_total, curl_off_t download_now,
                  curl_off_t upload_total, curl_off_t upload_now) {
    std::printf("\r%luK of %luK bytes", static_cast<unsigned long>(download_now / 1024),
                static_cast<unsigned long>(download_total / 1024));
    std::fflush(stdout);
    return 0;
}
