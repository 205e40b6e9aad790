// SHA-256 of a byte string, as lower-case hex, for the flash digests of the
// boot report.
#pragma once

#include <string>

namespace sim {
std::string sha256_hex(const std::string& data);
}
