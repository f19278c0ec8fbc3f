// A small library that tells which of its copies was loaded.
extern "C" __declspec(dllexport) const char* probe_where() {
    return PROBE_WHERE;
}
