// The atomic replacement of a file that every write-back of config.ini uses.
#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <system_error>

namespace vantrel::common {

namespace {

// Opens a new, empty file ".<name>.tmp-XXXXXX" in dir for writing, made with mode 0666 less the
// umask; its path goes to `created`.
int create_beside(const std::filesystem::path& dir, const std::string& name,
                  std::filesystem::path& created) {
    namespace fs = std::filesystem;
    static constexpr char kChars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Built in steps: GCC 12 at -O3 reports a false -Wrestrict for "." + std::string&&.
        std::string leaf = ".";
        leaf += name;
        leaf += ".tmp-";
        for (int i = 0; i < 6; ++i) {
            leaf += kChars[random() % (sizeof kChars - 1)];
        }
        const fs::path candidate = dir / leaf;
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            created = candidate;
            return fd;
        }
        if (errno != EEXIST) {
            throw fs::filesystem_error("cannot create a temporary file beside the configuration",
                                       dir / name, std::error_code(errno, std::generic_category()));
        }
    }
    throw fs::filesystem_error("cannot create a temporary file beside the configuration",
                               dir / name, std::make_error_code(std::errc::file_exists));
}

}  // namespace

void write_file_atomically(const std::filesystem::path& given, std::string_view content) {
    namespace fs = std::filesystem;
    // A link stays a link: the file it points to is the one replaced.
    std::error_code link_ec;
    const fs::path path = fs::is_symlink(given, link_ec) ? fs::weakly_canonical(given) : given;
    const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
    // Created with 0666 so that the kernel applies the umask, as for any new file; the umask
    // itself is never read or changed (that is process-wide, and other threads run).
    fs::path tmp;
    const int fd = create_beside(dir, path.filename().string(), tmp);
    const auto fail = [&](const char* what, int err) {
        ::close(fd);
        std::error_code ignored;
        fs::remove(tmp, ignored);
        throw fs::filesystem_error(what, path, std::error_code(err, std::generic_category()));
    };
    // Keep the permissions of the file being replaced.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        ::fchmod(fd, st.st_mode & 07777);
    }
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("cannot write the configuration", errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        fail("cannot write the configuration to disk", errno);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        std::error_code ignored;
        fs::remove(tmp, ignored);
        throw fs::filesystem_error("cannot write the configuration", path,
                                   std::error_code(err, std::generic_category()));
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(tmp, ignored);
        throw fs::filesystem_error("cannot replace the configuration", path, ec);
    }
}

}  // namespace vantrel::common
