#include "nsio_standin.h"
#include "ipserial.h"

#include <algorithm>
#include <cstring>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

StandinState state;

void Record(const std::string& call) {
    std::lock_guard<std::mutex> l(state.m);
    state.calls.push_back(call);
}

int Answer(const std::string& call, int StandinState::*result) {
    std::lock_guard<std::mutex> l(state.m);
    state.calls.push_back(call);
    return state.*result;
}

std::string Args(int a, int b) {
    return std::to_string(a) + " " + std::to_string(b);
}

} // namespace

STANDIN_EXPORT StandinState* standin_state() {
    return &state;
}

#ifndef STANDIN_NO_INIT
STANDIN_EXPORT int32_t NSIO_CALL nsio_init() {
    Record("init");
    return 0;
}
#endif

STANDIN_EXPORT int32_t NSIO_CALL nsio_end() {
    Record("end");
    return 0;
}

STANDIN_EXPORT int32_t NSIO_CALL nsio_open(const char* address, int32_t port, int32_t ms) {
    return Answer("open " + std::string(address) + " " + Args(port, ms), &StandinState::openResult);
}

STANDIN_EXPORT int32_t NSIO_CALL nsio_close(int32_t id) {
    Record("close " + std::to_string(id));
    return 0;
}

STANDIN_EXPORT int32_t NSIO_CALL nsio_ioctl(int32_t id, int32_t baud, int32_t mode) {
    return Answer("ioctl " + std::to_string(id) + " " + Args(baud, mode),
                  &StandinState::ioctlResult);
}

STANDIN_EXPORT int32_t NSIO_CALL nsio_flowctrl(int32_t id, int32_t mode) {
    return Answer("flowctrl " + Args(id, mode), &StandinState::flowResult);
}

STANDIN_EXPORT int32_t NSIO_CALL nsio_read(int32_t, char* data, int32_t size) {
    std::lock_guard<std::mutex> l(state.m);
    ++state.readCalls;
    int32_t n = std::min<int32_t>(size, static_cast<int32_t>(state.input.size()));
    std::memcpy(data, state.input.data(), static_cast<size_t>(n));
    state.input.erase(0, static_cast<size_t>(n));
    return n > 0 ? n + state.readOverclaim : 0;
}

STANDIN_EXPORT int32_t NSIO_CALL nsio_write(int32_t, const char* data, int32_t size) {
    std::lock_guard<std::mutex> l(state.m);
    int32_t n = std::min(size, state.maxWrite);
    state.output.append(data, static_cast<size_t>(n));
    return n;
}

STANDIN_EXPORT int32_t NSIO_CALL nsio_DTR(int32_t id, int32_t on) {
    return Answer("DTR " + Args(id, on), &StandinState::dtrResult);
}

STANDIN_EXPORT int32_t NSIO_CALL nsio_RTS(int32_t id, int32_t on) {
    return Answer("RTS " + Args(id, on), &StandinState::rtsResult);
}

#ifndef STANDIN_NO_LSTATUS
STANDIN_EXPORT int32_t NSIO_CALL nsio_lstatus(int32_t) {
    std::lock_guard<std::mutex> l(state.m);
    ++state.lstatusCalls;
    return state.lstatus;
}
#endif
