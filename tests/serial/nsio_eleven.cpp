// Our network serial library seen through the eleven entry points alone, as a library without
// the optional wait would offer them: every call is passed on to the real library.
#include "ipserial.h"

#include <dlfcn.h>

namespace {

void* Real(const char* name) {
    static void* lib = dlopen(IPSERIAL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    return lib ? dlsym(lib, name) : nullptr;
}

template <class Fn> Fn Get(const char* name) {
    return reinterpret_cast<Fn>(Real(name));
}

} // namespace

#define ZEM_ELEVEN extern "C" __attribute__((visibility("default"))) int32_t

ZEM_ELEVEN nsio_init() {
    return Get<nsio_init_t>("nsio_init")();
}
ZEM_ELEVEN nsio_end() {
    return Get<nsio_end_t>("nsio_end")();
}
ZEM_ELEVEN nsio_open(const char* address, int32_t port, int32_t timeoutMs) {
    return Get<nsio_open_t>("nsio_open")(address, port, timeoutMs);
}
ZEM_ELEVEN nsio_close(int32_t id) {
    return Get<nsio_close_t>("nsio_close")(id);
}
ZEM_ELEVEN nsio_ioctl(int32_t id, int32_t baud, int32_t mode) {
    return Get<nsio_ioctl_t>("nsio_ioctl")(id, baud, mode);
}
ZEM_ELEVEN nsio_flowctrl(int32_t id, int32_t mode) {
    return Get<nsio_flowctrl_t>("nsio_flowctrl")(id, mode);
}
ZEM_ELEVEN nsio_read(int32_t id, char* data, int32_t size) {
    return Get<nsio_read_t>("nsio_read")(id, data, size);
}
ZEM_ELEVEN nsio_write(int32_t id, const char* data, int32_t size) {
    return Get<nsio_write_t>("nsio_write")(id, data, size);
}
ZEM_ELEVEN nsio_DTR(int32_t id, int32_t on) {
    return Get<nsio_DTR_t>("nsio_DTR")(id, on);
}
ZEM_ELEVEN nsio_RTS(int32_t id, int32_t on) {
    return Get<nsio_RTS_t>("nsio_RTS")(id, on);
}
ZEM_ELEVEN nsio_lstatus(int32_t id) {
    return Get<nsio_lstatus_t>("nsio_lstatus")(id);
}
