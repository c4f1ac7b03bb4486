#include "korrin/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace vantrel::korrin {

namespace {

// The holder's process id as it wrote it; 0 when not (yet) there.
long holder_of(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) {
        return 0;
    }
    long pid = 0;
    for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9' && pid < 1'000'000'000; ++i) {
        pid = pid * 10 + (text[i] - '0');
    }
    return pid;
}

}  // namespace

FolderLock::FolderLock(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::filesystem::path file = dir / kFileName;
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        const long holder = err == EWOULDBLOCK ? holder_of(fd_) : 0;
        ::close(fd_);
        fd_ = -1;
        if (err != EWOULDBLOCK) {
            throw std::system_error(err, std::generic_category(), "cannot lock " + file.string());
        }
        throw FolderInUse("The buffer folder " + dir.string() + " is in use by another collector" +
                          (holder > 0 ? " (process " + std::to_string(holder) + ")" : "") +
                          "; give each collector its own buffer_dir.");
    }
    // The id is only for the message: a failure to write it does not stop the collector.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) == 0) {
        [[maybe_unused]] const ssize_t n = ::pwrite(fd_, pid.data(), pid.size(), 0);
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace vantrel::korrin
