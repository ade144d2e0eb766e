// The directory the report is written into. A run holds a lock on it for
// its whole length, so two runs (a path unit and a timer, or a notify
// command started twice) take turns; every file is written under a
// temporary name, synced, and renamed over the old one, so a web server
// serving the directory meanwhile hands out the old page or the new one,
// never a part of either.
#pragma once

#include <set>
#include <string>
#include <string_view>

class OutputDirectory {
   public:
    // Creates the directory when it is missing (not its parents), takes the
    // lock, waiting for another run to finish, and removes the temporary
    // files of a run that was killed. Any failure ends the process.
    explicit OutputDirectory(std::string path);
    ~OutputDirectory();
    OutputDirectory(const OutputDirectory&) = delete;
    OutputDirectory& operator=(const OutputDirectory&) = delete;

    // Replaces name (a plain file name) by content atomically.
    void replace(const std::string& name, std::string_view content);

    // Removes the files is_ours accepts that this run has not written: the
    // pages of an interface whose database is gone, or pages beyond the
    // last. Then syncs the directory, so the renames survive a power cut.
    void finish(bool (*is_ours)(std::string_view name));

   private:
    std::string path_;
    int dir_fd_ = -1;
    int lock_fd_ = -1;
    std::set<std::string> written_;
};
