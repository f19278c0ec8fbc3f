#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

namespace zem::cli {

// What zemcli prints, written by a thread of its own, so that a terminal held by Ctrl-S, a pager
// nobody reads or a console in selection mode never holds a port: the ports' threads only queue
// their text. The queue is bounded; what does not fit is dropped and counted, and the count is
// said once on standard error when the output moves again. A stream whose reader has gone (a
// closed pipe, a dropped session) is written no more.
class OutputQueue {
public:
    // `err` receives the note about dropped text. `maxBytes`: the most text held back.
    OutputQueue(std::FILE* err, size_t maxBytes = 256 * 1024);
    // Gives the writer a last chance to write what is queued (see Drain), then ends it.
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Never waits for the output. False when the text was dropped.
    bool Put(std::FILE* to, std::string text);
    // Waits until everything queued is written, or until the output has not moved for `stallMs`.
    // False when output is still held. A queue destroyed while its output is held leaves its
    // writer behind; the process then ends through EndProcess.
    bool Drain(uint32_t stallMs);
    // Pieces dropped since the start; a display that draws in place redraws whole after a drop.
    uint64_t Dropped() const;
    // True once a queue had to leave its writer behind in a blocked write.
    static bool LeftBehind();
    // What main returns with: `code`, or, when a writer was left behind, the process ends here
    // with `code` (files of its own must be closed before).
    static int EndProcess(int code);

private:
    // Shared with the writer, which may outlive the queue when it is left behind.
    struct State;
    std::shared_ptr<State> state_;
    std::thread writer_;
};

} // namespace zem::cli
