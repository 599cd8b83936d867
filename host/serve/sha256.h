// SHA-256 (FIPS 180-4), so that each audited decision names the rule set it was made with.
#ifndef TXSCREEN_HOST_SERVE_SHA256_H_
#define TXSCREEN_HOST_SERVE_SHA256_H_

#include <string>
#include <string_view>

namespace txhost {

// How the blocks are compressed: with the processor's SHA instructions where it has them (every
// request with an idempotency key is hashed), or in plain C++.
enum class Sha256Way { kFastest, kPortable };

// The digest of `bytes` as 64 lowercase hexadecimal digits.
std::string Sha256Hex(std::string_view bytes, Sha256Way way = Sha256Way::kFastest);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_SHA256_H_
