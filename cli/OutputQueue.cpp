#include "OutputQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace zem::cli {

namespace {
std::atomic<bool> gLeftBehind{false};

struct Piece {
    std::FILE* to;
    std::string text;
};
} // namespace

struct OutputQueue::State {
    std::FILE* err;
    size_t maxBytes;
    std::mutex mutex;
    std::condition_variable wake;  // the writer: something to write, or the end
    std::condition_variable moved; // Drain: the writer finished a piece
    std::deque<Piece> queue;
    size_t queuedBytes = 0;
    bool writing = false; // the writer holds a piece it is writing
    bool over = false;
    uint64_t movedCount = 0; // pieces written so far
    uint64_t unsaid = 0;     // dropped and not yet told
    std::atomic<uint64_t> dropped{0};
    std::FILE* gone[2] = {nullptr, nullptr}; // writer only: streams whose reader has gone

    void Write(std::FILE* to, const std::string& text) {
        for (std::FILE* g : gone)
            if (g == to) return;
        std::fputs(text.c_str(), to);
        std::fflush(to);
        if (std::ferror(to)) {
            std::clearerr(to);
            for (std::FILE*& g : gone)
                if (!g) {
                    g = to;
                    break;
                }
        }
    }

    void Writer() {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return over || !queue.empty() || unsaid > 0; });
            if (queue.empty() && unsaid == 0) return; // over, and nothing left
            Piece piece{nullptr, {}};
            if (!queue.empty()) {
                piece = std::move(queue.front());
                queue.pop_front();
                queuedBytes -= piece.text.size();
            }
            // Said once the output moves again, after what was queued before the drop.
            std::string note;
            if (queue.empty() && unsaid > 0) {
                note = "zemcli: " + std::to_string(unsaid) + (unsaid == 1 ? " line" : " lines") +
                       " of output dropped while the output was blocked\n";
                unsaid = 0;
            }
            writing = true;
            lock.unlock();
            if (piece.to) Write(piece.to, piece.text);
            if (!note.empty()) Write(err, note);
            lock.lock();
            writing = false;
            ++movedCount;
            moved.notify_all();
        }
    }
};

bool OutputQueue::LeftBehind() {
    return gLeftBehind.load(std::memory_order_acquire);
}

int OutputQueue::EndProcess(int code) {
    // A normal exit flushes every stream, the blocked one too, and would wait on it for ever.
    if (LeftBehind()) std::_Exit(code);
    return code;
}

OutputQueue::OutputQueue(std::FILE* err, size_t maxBytes) : state_(std::make_shared<State>()) {
    state_->err = err;
    state_->maxBytes = maxBytes;
    writer_ = std::thread([state = state_] { state->Writer(); });
}

OutputQueue::~OutputQueue() {
    bool drained = Drain(10000);
    {
        std::lock_guard lock(state_->mutex);
        state_->over = true;
    }
    state_->wake.notify_all();
    bool idle = drained;
    if (drained) {
        // The writer ends at once with nothing left; wait for it, so that nothing it writes
        // comes after what the caller writes next.
        std::unique_lock lock(state_->mutex);
        idle = state_->moved.wait_for(lock, std::chrono::seconds(10),
                                      [&] { return !state_->writing; });
    }
    if (idle) {
        // Joined rather than left to end on its own: a thread still ending while the process
        // exits can crash the runtime's own teardown (seen under Wine).
        writer_.join();
    } else {
        // Blocked in a write that may never return: waiting for it would hang the end.
        gLeftBehind.store(true, std::memory_order_release);
        writer_.detach();
    }
}

uint64_t OutputQueue::Dropped() const {
    return state_->dropped.load(std::memory_order_acquire);
}

bool OutputQueue::Put(std::FILE* to, std::string text) {
    if (text.empty()) return true;
    State& s = *state_;
    bool kept = true;
    {
        std::lock_guard lock(s.mutex);
        if (s.queuedBytes + text.size() > s.maxBytes) {
            ++s.unsaid;
            s.dropped.fetch_add(1, std::memory_order_acq_rel);
            kept = false;
        } else {
            s.queuedBytes += text.size();
            s.queue.push_back({to, std::move(text)});
        }
    }
    s.wake.notify_one();
    return kept;
}

bool OutputQueue::Drain(uint32_t stallMs) {
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (s.queue.empty() && !s.writing && s.unsaid == 0) return true;
        uint64_t seen = s.movedCount;
        if (!s.moved.wait_for(lock, std::chrono::milliseconds(stallMs),
                              [&] { return s.movedCount != seen; }))
            return false;
    }
}

} // namespace zem::cli
