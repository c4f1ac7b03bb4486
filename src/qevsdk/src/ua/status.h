// Status codes the client acts on, and the two error kinds of the protocol layer.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qevsdk::ua {

namespace status {
inline constexpr std::uint32_t Good = 0x00000000;
inline constexpr std::uint32_t BadUnexpectedError = 0x80010000;
inline constexpr std::uint32_t BadCommunicationError = 0x80050000;
inline constexpr std::uint32_t BadDecodingError = 0x80070000;
inline constexpr std::uint32_t BadEncodingLimitsExceeded = 0x80080000;
inline constexpr std::uint32_t BadUnknownResponse = 0x80090000;
inline constexpr std::uint32_t BadTimeout = 0x800A0000;
inline constexpr std::uint32_t BadServiceUnsupported = 0x800B0000;
inline constexpr std::uint32_t BadNothingToDo = 0x800F0000;
inline constexpr std::uint32_t BadTooManyOperations = 0x80100000;
inline constexpr std::uint32_t BadSecurityChecksFailed = 0x80130000;
inline constexpr std::uint32_t BadSecureChannelIdInvalid = 0x80220000;
inline constexpr std::uint32_t BadSessionIdInvalid = 0x80250000;
inline constexpr std::uint32_t BadSessionClosed = 0x80260000;
inline constexpr std::uint32_t BadSessionNotActivated = 0x80270000;
inline constexpr std::uint32_t BadNodeIdInvalid = 0x80330000;
inline constexpr std::uint32_t BadNodeIdUnknown = 0x80340000;
inline constexpr std::uint32_t BadTypeMismatch = 0x80740000;
inline constexpr std::uint32_t BadTcpMessageTypeInvalid = 0x807E0000;
inline constexpr std::uint32_t BadTcpMessageTooLarge = 0x80800000;
inline constexpr std::uint32_t BadSecureChannelClosed = 0x80860000;
inline constexpr std::uint32_t BadSecureChannelTokenUnknown = 0x80870000;
inline constexpr std::uint32_t BadSequenceNumberInvalid = 0x80880000;
inline constexpr std::uint32_t BadNotConnected = 0x808A0000;
inline constexpr std::uint32_t BadConnectionRejected = 0x80AC0000;
inline constexpr std::uint32_t BadConnectionClosed = 0x80AE0000;
inline constexpr std::uint32_t BadRequestTooLarge = 0x80B80000;
inline constexpr std::uint32_t BadResponseTooLarge = 0x80B90000;
inline constexpr std::uint32_t BadSecurityModeRejected = 0x80540000;
inline constexpr std::uint32_t BadIdentityTokenRejected = 0x80210000;
inline constexpr std::uint32_t BadCertificateInvalid = 0x80120000;
inline constexpr std::uint32_t BadCertificateTimeInvalid = 0x80140000;
inline constexpr std::uint32_t BadCertificateUntrusted = 0x801A0000;
inline constexpr std::uint32_t BadUserAccessDenied = 0x801F0000;
inline constexpr std::uint32_t BadIdentityTokenInvalid = 0x80200000;
inline constexpr std::uint32_t BadNonceInvalid = 0x80240000;
inline constexpr std::uint32_t BadSecurityPolicyRejected = 0x80550000;
inline constexpr std::uint32_t BadApplicationSignatureInvalid = 0x80580000;
inline constexpr std::uint32_t BadConfigurationError = 0x80890000;
}  // namespace status

inline bool is_bad(std::uint32_t code) {
    return (code >> 30) == 2 || (code >> 30) == 3;
}
inline bool is_uncertain(std::uint32_t code) {
    return (code >> 30) == 1;
}

// The session cannot be used any more; a new one must be created.
inline bool is_session_fatal(std::uint32_t code) {
    const std::uint32_t c = code & 0xFFFF0000;
    return c == status::BadSessionIdInvalid || c == status::BadSessionClosed ||
           c == status::BadSessionNotActivated;
}

// The connection cannot be used any more; reconnecting starts from Hello.
inline bool is_connection_fatal(std::uint32_t code) {
    const std::uint32_t c = code & 0xFFFF0000;
    const bool tcp = c >= 0x807D0000 && c <= 0x80830000;  // BadTcpServerTooBusy..EndpointUrlInvalid
    return tcp || c == status::BadSecureChannelIdInvalid || c == status::BadSecureChannelClosed ||
           c == status::BadSecureChannelTokenUnknown || c == status::BadSequenceNumberInvalid ||
           c == status::BadSecurityChecksFailed || c == status::BadConnectionClosed ||
           c == 0x800C0000 /* BadShutdown */ || c == 0x800E0000 /* BadServerHalted */;
}

// "0x80340000 (BadNodeIdUnknown)" for the codes above, the hex number otherwise.
std::string status_text(std::uint32_t code);

// Bytes from the server do not form a valid message. The connection cannot be trusted.
class DecodeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A protocol or transport failure carrying the status code that describes it.
class UaError : public std::runtime_error {
  public:
    UaError(std::uint32_t code, const std::string& what) : std::runtime_error(what), code_(code) {}
    std::uint32_t code() const { return code_; }

  private:
    std::uint32_t code_;
};

// A service answered with a Bad ServiceResult (or a ServiceFault). The channel is still usable.
class ServiceError : public UaError {
  public:
    using UaError::UaError;
};

}  // namespace qevsdk::ua
