#pragma once
#include "Treport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zem {

// Listens, on the thread that runs a module, to the protocol's own records, whatever the trace
// level, and tells why the run failed in the operator's words: the record the module refused,
// its answer and diagnostic bytes, or the protocol's first failure text.
class FailureWatch {
public:
    FailureWatch();
    FailureWatch(const FailureWatch&) = delete;
    FailureWatch& operator=(const FailureWatch&) = delete;

    // Empty when nothing failed that the protocol named.
    std::string Cause() const;

    // The cause from the records as heard, in order; separate for the tests.
    void Hear(const char* tag, const char* text);

private:
    std::string firstFail_;
    int nack_ = -1;                   // the refusal's answer byte, -1 when none came
    std::vector<uint8_t> diagnostic_; // the bytes that came with it
    ScopedReportWatch watch_;
};

} // namespace zem
