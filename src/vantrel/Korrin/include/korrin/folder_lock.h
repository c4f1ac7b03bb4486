// One collector per buffer folder: two writers appending to the same segment files would
// interleave their records. The lock is an advisory lock on a file in the folder, so the
// system drops it with the process however that ends, and a killed collector never blocks the
// next start.
#pragma once

#include <filesystem>
#include <stdexcept>

namespace vantrel::korrin {

// Another running collector holds the folder; what() is the operator's message.
class FolderInUse : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class FolderLock {
  public:
    // Locks `dir` (created when missing) for this object's life and writes this process's id
    // into the lock file, for the message another collector then gives. Throws FolderInUse
    // when another collector holds it, std::system_error when the lock file cannot be made.
    explicit FolderLock(const std::filesystem::path& dir);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    static constexpr const char* kFileName = "collector.lock";

  private:
    int fd_ = -1;
};

}  // namespace vantrel::korrin
