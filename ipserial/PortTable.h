#pragma once
#include "Port.h"
#include "Transport.h"

#include <memory>
#include <string>

namespace ipserial {

// nsio_open over a transport the caller has already connected, with waits of its choosing: the
// port id (the same table the nsio_ calls use) or a negative NSIO_ failure with its cause. For
// in-process tests that play the server on a socket pair; the library does not export it.
int OpenPortOver(std::unique_ptr<Transport> transport, Ms timeout, const PortTimings& timings,
                 std::string* cause = nullptr, intptr_t abort = kNoWake);

} // namespace ipserial
