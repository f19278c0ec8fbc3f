#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ipserial {

// Reads a PEM file of trusted CAs for both systems' verifiers, so that a file is refused alike on
// both, whole: a file that is half certificates and half something else is not half used. Text
// outside the PEM blocks is allowed (openssl x509 -text writes some); every block must be a
// CERTIFICATE whose base64 is sound and that `take` (given its DER) accepts as one. Empty on
// success, else the cause.
std::string ReadCaFile(const std::string& path,
                       const std::function<bool(const std::vector<uint8_t>& der)>& take);

} // namespace ipserial
