// Names for the status codes that appear in messages to the operator.
#include "status.h"

#include <cstdio>

namespace qevsdk::ua {

namespace {

const char* name_of(std::uint32_t code) {
    switch (code & 0xFFFF0000) {
        case status::Good:
            return "Good";
        case status::BadUnexpectedError:
            return "BadUnexpectedError";
        case status::BadCertificateInvalid:
            return "BadCertificateInvalid";
        case status::BadCertificateTimeInvalid:
            return "BadCertificateTimeInvalid";
        case status::BadCertificateUntrusted:
            return "BadCertificateUntrusted";
        case status::BadUserAccessDenied:
            return "BadUserAccessDenied";
        case status::BadIdentityTokenInvalid:
            return "BadIdentityTokenInvalid";
        case status::BadNonceInvalid:
            return "BadNonceInvalid";
        case status::BadSecurityPolicyRejected:
            return "BadSecurityPolicyRejected";
        case status::BadApplicationSignatureInvalid:
            return "BadApplicationSignatureInvalid";
        case status::BadConfigurationError:
            return "BadConfigurationError";
        case status::BadCommunicationError:
            return "BadCommunicationError";
        case status::BadDecodingError:
            return "BadDecodingError";
        case status::BadEncodingLimitsExceeded:
            return "BadEncodingLimitsExceeded";
        case status::BadUnknownResponse:
            return "BadUnknownResponse";
        case status::BadTimeout:
            return "BadTimeout";
        case status::BadServiceUnsupported:
            return "BadServiceUnsupported";
        case status::BadNothingToDo:
            return "BadNothingToDo";
        case status::BadTooManyOperations:
            return "BadTooManyOperations";
        case status::BadSecurityChecksFailed:
            return "BadSecurityChecksFailed";
        case status::BadSecureChannelIdInvalid:
            return "BadSecureChannelIdInvalid";
        case status::BadSessionIdInvalid:
            return "BadSessionIdInvalid";
        case status::BadSessionClosed:
            return "BadSessionClosed";
        case status::BadSessionNotActivated:
            return "BadSessionNotActivated";
        case status::BadNodeIdInvalid:
            return "BadNodeIdInvalid";
        case status::BadNodeIdUnknown:
            return "BadNodeIdUnknown";
        case status::BadTypeMismatch:
            return "BadTypeMismatch";
        case status::BadTcpMessageTypeInvalid:
            return "BadTcpMessageTypeInvalid";
        case status::BadTcpMessageTooLarge:
            return "BadTcpMessageTooLarge";
        case status::BadSecureChannelClosed:
            return "BadSecureChannelClosed";
        case status::BadSecureChannelTokenUnknown:
            return "BadSecureChannelTokenUnknown";
        case status::BadSequenceNumberInvalid:
            return "BadSequenceNumberInvalid";
        case status::BadNotConnected:
            return "BadNotConnected";
        case status::BadConnectionRejected:
            return "BadConnectionRejected";
        case status::BadConnectionClosed:
            return "BadConnectionClosed";
        case status::BadRequestTooLarge:
            return "BadRequestTooLarge";
        case status::BadResponseTooLarge:
            return "BadResponseTooLarge";
        case status::BadSecurityModeRejected:
            return "BadSecurityModeRejected";
        case status::BadIdentityTokenRejected:
            return "BadIdentityTokenRejected";
        case 0x80830000:
            return "BadTcpEndpointUrlInvalid";
        case 0x807D0000:
            return "BadTcpServerTooBusy";
        case 0x80560000:
            return "BadTooManySessions";
        case 0x800E0000:
            return "BadServerHalted";
        case 0x800C0000:
            return "BadShutdown";
        case 0x803A0000:
            return "BadNotReadable";
        default:
            return nullptr;
    }
}

}  // namespace

std::string status_text(std::uint32_t code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", code);
    const char* name = name_of(code);
    return name ? std::string(hex) + " (" + name + ")" : std::string(hex);
}

}  // namespace qevsdk::ua
