// The client's certificate store on disk.
#include "pki.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace qevsdk::ua {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void config_error(const std::string& what) {
    throw UaError(status::BadConfigurationError, what);
}

crypto::Bytes read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        config_error("cannot read " + path.string() + ": " + std::strerror(errno));
    }
    std::ostringstream out;
    out << in.rdbuf();
    const std::string s = out.str();
    return crypto::Bytes(s.begin(), s.end());
}

// Written beside the target and renamed over it, so that nobody reads half a file; the
// private key is never readable by others, not even for a moment.
void write_file(const fs::path& path, const void* data, std::size_t size, mode_t mode) {
    const fs::path temp = path.string() + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        config_error("cannot write " + temp.string() + ": " + std::strerror(errno));
    }
    const auto* p = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            config_error("cannot write " + temp.string() + ": " + std::strerror(err));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::fchmod(fd, mode);
    ::close(fd);
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        ::unlink(temp.c_str());
        config_error("cannot write " + path.string() + ": " + ec.message());
    }
}

void make_dirs(const fs::path& dir, fs::perms perms = fs::perms::owner_all | fs::perms::group_read |
                                                      fs::perms::group_exec |
                                                      fs::perms::others_read |
                                                      fs::perms::others_exec) {
    std::error_code ec;
    if (fs::create_directories(dir, ec)) {
        fs::permissions(dir, perms, ec);
    }
    if (ec || !fs::is_directory(dir)) {
        config_error("cannot create the certificate folder " + dir.string() +
                     (ec ? ": " + ec.message() : ""));
    }
}

std::string host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

std::vector<crypto::Certificate> load_all(const fs::path& dir) {
    std::vector<crypto::Certificate> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file(ec)) {
            continue;
        }
        try {
            out.push_back(crypto::Certificate::from_file_bytes(read_bytes(entry.path())));
        } catch (const std::exception&) {
            // A stray file (a CRL, a note) is not a certificate; it trusts nothing.
        }
    }
    return out;
}

std::mutex& creation_mutex() {
    static std::mutex m;
    return m;
}

}  // namespace

std::string Pki::file_name(const crypto::Certificate& cert) {
    std::string cn = "server";
    const std::string subject = cert.subject();
    const auto at = subject.find("/CN=");
    if (at != std::string::npos) {
        cn = subject.substr(at + 4, subject.find('/', at + 4) - at - 4);
    }
    std::string safe;
    for (char c : cn) {
        const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                        c == '.' || c == '@';
        safe += ok ? c : '_';
    }
    if (safe.empty() || safe.size() > 64) {
        safe = safe.substr(0, 64) + (safe.empty() ? "server" : "");
    }
    static const char* digits = "0123456789abcdef";
    std::string print;
    for (std::uint8_t b : cert.thumbprint()) {
        print += digits[b >> 4];
        print += digits[b & 15];
    }
    return safe + "-" + print + ".der";
}

std::shared_ptr<const Credentials> Pki::own_credentials() const {
    const fs::path cert_path = root_ / "own" / "certs" / "vantrel.der";
    const fs::path key_path = root_ / "own" / "private" / "vantrel.pem";
    std::lock_guard lock(creation_mutex());
    std::error_code ec;
    if (!fs::exists(cert_path, ec) || !fs::exists(key_path, ec)) {
        make_dirs(cert_path.parent_path());
        make_dirs(key_path.parent_path(), fs::perms::owner_all);
        make_dirs(trusted_dir());
        make_dirs(rejected_dir());
        const std::string host = host_name();
        try {
            auto key = crypto::PrivateKey::generate_rsa(2048);
            auto cert = crypto::make_self_signed(
                key, {"urn:" + host + ":Vantrel", "Vantrel@" + host, host});
            const std::string pem = key.to_pem();
            // The key first: a certificate on disk always has its key.
            write_file(key_path, pem.data(), pem.size(), 0600);
            write_file(cert_path, cert.der().data(), cert.der().size(), 0644);
            return std::make_shared<Credentials>(Credentials{cert, key});
        } catch (const crypto::CryptoError& e) {
            config_error(std::string("cannot create the client certificate: ") + e.what());
        }
    }
    try {
        const auto bytes = read_bytes(key_path);
        auto key = crypto::PrivateKey::from_pem(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        auto cert = crypto::Certificate::from_file_bytes(read_bytes(cert_path));
        if (!key.matches(cert)) {
            config_error("the client certificate " + cert_path.string() +
                         " does not belong to the key " + key_path.string());
        }
        return std::make_shared<Credentials>(Credentials{cert, key});
    } catch (const crypto::CryptoError& e) {
        config_error("cannot read the client certificate in " + (root_ / "own").string() + ": " +
                     e.what());
    }
}

void Pki::check_server(const crypto::Certificate& cert, bool trust_on_first_use,
                       const std::function<void(const std::string&)>& note) const {
    auto trusted = load_all(trusted_dir());
    for (auto& c : load_all(root_ / "trusted")) {
        trusted.push_back(std::move(c));
    }
    bool listed = false;
    for (const auto& t : trusted) {
        listed = listed || crypto::equal(t.der(), cert.der());
    }
    const std::string reason = crypto::verify_trust(cert, trusted);
    if (reason.empty()) {
        return;
    }
    if (listed) {
        // Known, but not usable: expired, or not yet valid.
        throw UaError(
            status::BadCertificateTimeInvalid,
            "the trusted server certificate '" + cert.subject() + "' is not valid: " + reason);
    }
    const std::string name = file_name(cert);
    if (trust_on_first_use) {
        make_dirs(trusted_dir());
        write_file(trusted_dir() / name, cert.der().data(), cert.der().size(), 0644);
        if (note) {
            note("trusting the server certificate '" + cert.subject() +
                 "' on first use; it is stored as " + (trusted_dir() / name).string());
        }
        return;
    }
    // The folder the message points to must exist for the operator to move the file there.
    make_dirs(trusted_dir());
    make_dirs(rejected_dir());
    write_file(rejected_dir() / name, cert.der().data(), cert.der().size(), 0644);
    throw UaError(status::BadCertificateUntrusted,
                  "the server certificate '" + cert.subject() + "' is not trusted (" + reason +
                      "); it was copied to " + (rejected_dir() / name).string() +
                      ": to trust it, move it to " + trusted_dir().string() + "/");
}

}  // namespace qevsdk::ua
