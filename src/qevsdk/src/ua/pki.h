// The client's certificate store: its own application instance certificate and key, created
// on first use, and the server certificates it trusts or has refused. Folders:
//   own/certs/vantrel.der, own/private/vantrel.pem (mode 0600), trusted/certs/, rejected/certs/
// Certificates placed straight in trusted/ are taken too.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "channel_security.h"

namespace qevsdk::ua {

class Pki {
  public:
    // Messages name absolute paths, so that the operator finds the files whatever the
    // program's working directory was.
    explicit Pki(const std::filesystem::path& root) : root_(std::filesystem::absolute(root)) {}

    const std::filesystem::path& root() const { return root_; }

    // Our certificate and key, made now (RSA 2048, SHA-256, the application URI in
    // subjectAltName) when the folder has none. Throws UaError(BadConfigurationError) with
    // the reason when they cannot be read or written.
    std::shared_ptr<const Credentials> own_credentials() const;

    // Returns when the server certificate is trusted. An unknown one is copied to
    // rejected/certs/ and refused with UaError(BadCertificateUntrusted) whose text says where
    // to move it; with `trust_on_first_use` it is stored in trusted/certs/ instead and
    // `note` is told so.
    void check_server(const crypto::Certificate& cert, bool trust_on_first_use,
                      const std::function<void(const std::string&)>& note) const;

    std::filesystem::path trusted_dir() const { return root_ / "trusted" / "certs"; }
    std::filesystem::path rejected_dir() const { return root_ / "rejected" / "certs"; }
    // A file name for a certificate: its common name and thumbprint, e.g. "Server-ab12...ef.der".
    static std::string file_name(const crypto::Certificate& cert);

  private:
    std::filesystem::path root_;
};

}  // namespace qevsdk::ua
