// Status codes the client acts on, and the two error kinds of the protocol layer.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qevsdk::ua {

// What a failed request with a given code leaves usable.
enum class StatusClass : std::uint8_t {
    Plain,           // only the request failed
    SessionLost,     // the session cannot be used any more; a new one must be created
    ConnectionLost,  // the connection cannot be used any more; reconnecting starts from Hello
    TooLarge,        // the request was too big for the server: a smaller one may pass
};

// Every status code the client names, once: X(name, code, class). The constants below, the
// names in status_text and the classes behind is_session_fatal and friends all come from here.
#define QEVSDK_UA_STATUS_CODES(X)                               \
    X(Good, 0x00000000, Plain)                                  \
    X(BadUnexpectedError, 0x80010000, Plain)                    \
    X(BadCommunicationError, 0x80050000, Plain)                 \
    X(BadDecodingError, 0x80070000, Plain)                      \
    X(BadEncodingLimitsExceeded, 0x80080000, TooLarge)          \
    X(BadUnknownResponse, 0x80090000, Plain)                    \
    X(BadTimeout, 0x800A0000, Plain)                            \
    X(BadServiceUnsupported, 0x800B0000, Plain)                 \
    X(BadShutdown, 0x800C0000, ConnectionLost)                  \
    X(BadServerHalted, 0x800E0000, ConnectionLost)              \
    X(BadNothingToDo, 0x800F0000, Plain)                        \
    X(BadTooManyOperations, 0x80100000, TooLarge)               \
    X(BadCertificateInvalid, 0x80120000, Plain)                 \
    X(BadSecurityChecksFailed, 0x80130000, ConnectionLost)      \
    X(BadCertificateTimeInvalid, 0x80140000, Plain)             \
    X(BadCertificateUntrusted, 0x801A0000, Plain)               \
    X(BadUserAccessDenied, 0x801F0000, Plain)                   \
    X(BadIdentityTokenInvalid, 0x80200000, Plain)               \
    X(BadIdentityTokenRejected, 0x80210000, Plain)              \
    X(BadSecureChannelIdInvalid, 0x80220000, ConnectionLost)    \
    X(BadNonceInvalid, 0x80240000, Plain)                       \
    X(BadSessionIdInvalid, 0x80250000, SessionLost)             \
    X(BadSessionClosed, 0x80260000, SessionLost)                \
    X(BadSessionNotActivated, 0x80270000, SessionLost)          \
    X(BadSubscriptionIdInvalid, 0x80280000, Plain)              \
    X(BadNodeIdInvalid, 0x80330000, Plain)                      \
    X(BadNodeIdUnknown, 0x80340000, Plain)                      \
    X(BadNotReadable, 0x803A0000, Plain)                        \
    X(BadMonitoredItemIdInvalid, 0x80420000, Plain)             \
    X(BadMonitoredItemFilterInvalid, 0x80430000, Plain)         \
    X(BadMonitoredItemFilterUnsupported, 0x80440000, Plain)     \
    X(BadFilterNotAllowed, 0x80450000, Plain)                   \
    X(BadContinuationPointInvalid, 0x804A0000, Plain)           \
    X(BadNoContinuationPoints, 0x804B0000, Plain)               \
    X(BadSecurityModeRejected, 0x80540000, Plain)               \
    X(BadSecurityPolicyRejected, 0x80550000, Plain)             \
    X(BadTooManySessions, 0x80560000, Plain)                    \
    X(BadApplicationSignatureInvalid, 0x80580000, Plain)        \
    X(BadTypeMismatch, 0x80740000, Plain)                       \
    X(BadTooManyPublishRequests, 0x80780000, Plain)             \
    X(BadNoSubscription, 0x80790000, Plain)                     \
    X(BadSequenceNumberUnknown, 0x807A0000, Plain)              \
    X(BadMessageNotAvailable, 0x807B0000, Plain)                \
    X(BadTcpServerTooBusy, 0x807D0000, ConnectionLost)          \
    X(BadTcpMessageTypeInvalid, 0x807E0000, ConnectionLost)     \
    X(BadTcpSecureChannelUnknown, 0x807F0000, ConnectionLost)   \
    X(BadTcpMessageTooLarge, 0x80800000, ConnectionLost)        \
    X(BadTcpNotEnoughResources, 0x80810000, ConnectionLost)     \
    X(BadTcpInternalError, 0x80820000, ConnectionLost)          \
    X(BadTcpEndpointUrlInvalid, 0x80830000, ConnectionLost)     \
    X(BadSecureChannelClosed, 0x80860000, ConnectionLost)       \
    X(BadSecureChannelTokenUnknown, 0x80870000, ConnectionLost) \
    X(BadSequenceNumberInvalid, 0x80880000, ConnectionLost)     \
    X(BadConfigurationError, 0x80890000, Plain)                 \
    X(BadNotConnected, 0x808A0000, Plain)                       \
    X(BadDeadbandFilterInvalid, 0x808E0000, Plain)              \
    X(BadConnectionRejected, 0x80AC0000, Plain)                 \
    X(BadConnectionClosed, 0x80AE0000, ConnectionLost)          \
    X(BadRequestTooLarge, 0x80B80000, TooLarge)                 \
    X(BadResponseTooLarge, 0x80B90000, TooLarge)                \
    X(BadTooManyMonitoredItems, 0x80DB0000, TooLarge)

namespace status {
#define QEVSDK_UA_STATUS_CONSTANT(name, code, cls) inline constexpr std::uint32_t name = code;
QEVSDK_UA_STATUS_CODES(QEVSDK_UA_STATUS_CONSTANT)
#undef QEVSDK_UA_STATUS_CONSTANT
}  // namespace status

inline bool is_bad(std::uint32_t code) {
    return (code >> 30) == 2 || (code >> 30) == 3;
}
inline bool is_uncertain(std::uint32_t code) {
    return (code >> 30) == 1;
}

// The class of a code by its upper 16 bits (the lower ones are info bits); Plain for codes
// the table does not name.
constexpr StatusClass status_class(std::uint32_t code) {
    switch (code & 0xFFFF0000) {
#define QEVSDK_UA_STATUS_CLASS(name, code, cls) \
    case code:                                  \
        return StatusClass::cls;
        QEVSDK_UA_STATUS_CODES(QEVSDK_UA_STATUS_CLASS)
#undef QEVSDK_UA_STATUS_CLASS
        default:
            return StatusClass::Plain;
    }
}

inline bool is_session_fatal(std::uint32_t code) {
    return status_class(code) == StatusClass::SessionLost;
}
inline bool is_connection_fatal(std::uint32_t code) {
    return status_class(code) == StatusClass::ConnectionLost;
}
// Splitting the request in two may get it through.
inline bool halving_helps(std::uint32_t code) {
    return status_class(code) == StatusClass::TooLarge;
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

// What a DecodeError becomes once it reaches the channel: the connection is lost, and the
// operator learns why.
inline UaError invalid_message(const DecodeError& e) {
    return UaError(status::BadDecodingError,
                   std::string("the server sent an invalid message: ") + e.what());
}

// A service answered with a Bad ServiceResult (or a ServiceFault). The channel is still usable.
class ServiceError : public UaError {
  public:
    using UaError::UaError;
};

}  // namespace qevsdk::ua
