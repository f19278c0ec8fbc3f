#pragma once
// A stand-in for the network serial library: records the control calls it gets, answers with
// the results a test sets, hands out the bytes a test queues and keeps the bytes written to it.
#include <climits>
#include <mutex>
#include <string>
#include <vector>

struct StandinState {
    std::mutex m;
    std::vector<std::string> calls; // control calls in order: "open 127.0.0.1 950 3000"
    int openResult = 7;
    int ioctlResult = 0;
    int flowResult = 0;
    int rtsResult = 0;
    int dtrResult = 0;
    int lstatus = 0;
    std::string input;      // what nsio_read hands out
    std::string output;     // what nsio_write took
    int maxWrite = INT_MAX; // most bytes nsio_write takes per call
    int readOverclaim = 0;  // added to what nsio_read reports
    long readCalls = 0;
    long lstatusCalls = 0;

    void Reset() {
        std::lock_guard<std::mutex> l(m);
        calls.clear();
        openResult = 7;
        ioctlResult = flowResult = rtsResult = dtrResult = lstatus = 0;
        input.clear();
        output.clear();
        maxWrite = INT_MAX;
        readOverclaim = 0;
        readCalls = lstatusCalls = 0;
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> l(m);
        return calls;
    }
    // What the service thread reads or counts goes through the lock.
    template <class T> void Set(T StandinState::*field, T value) {
        std::lock_guard<std::mutex> l(m);
        this->*field = value;
    }
    template <class T> T Get(T StandinState::*field) {
        std::lock_guard<std::mutex> l(m);
        return this->*field;
    }
};

using StandinStateFn = StandinState* (*)();
