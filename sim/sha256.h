// SHA-256 of a byte string, as lower-case hex, for the flash and frame
// digests of the boot report (libcrypto). "" when the library fails.
#pragma once

#include <string>

namespace sim {
std::string sha256_hex(const std::string& data);
}
