// The pid file: claimed (locked, checked against a live owner, emptied)
// before the daemon detaches, written with the detached process's id after,
// and removed at an orderly end only if this daemon claimed it.
#pragma once

class PidFile {
   public:
    // No pid file.
    PidFile() = default;
    // Claims path: ends the process when another live daemon owns it or it
    // cannot be used. REQUIRES: path outlives the object.
    explicit PidFile(const char* path);
    ~PidFile();
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

    // Writes "<pid>\n" with the calling process's id and closes the file,
    // which releases the lock.
    void write();
    // Removes the file, if this daemon claimed it (a daemon stopped before
    // its claim must not remove the running daemon's file).
    void remove() const;

   private:
    const char* path_ = nullptr;
    int fd_ = -1;
};
