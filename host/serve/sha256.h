// SHA-256 (FIPS 180-4), so that each audited decision names the rule set it was made with.
#ifndef TXSCREEN_HOST_SERVE_SHA256_H_
#define TXSCREEN_HOST_SERVE_SHA256_H_

#include <string>
#include <string_view>

namespace txhost {

// The digest of `bytes` as 64 lowercase hexadecimal digits.
std::string Sha256Hex(std::string_view bytes);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_SHA256_H_
