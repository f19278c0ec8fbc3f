#include "SingleRun.h"

#include "DumpFiles.h"
#include "Interrupt.h"
#include "ProgrammingRun.h"
#include "ProgrammingStation.h"
#include "TFPLib.h"
#include "Texts.h"
#include "Uuid.h"

namespace zem::cli {

namespace {

// The run's events on zemcli's display, and its lines in the results log.
class SingleRunEvents : public RunEvents {
public:
    SingleRunEvents(Reporter& rep, const SingleRunOptions& o) : rep_(rep), o_(o) {}
    // A port that did not open ends the run at once: the result line says so, once.
    void Status(const std::string& text) override {
        if (text.rfind(txt::kCanNotOpen, 0) != 0) rep_.Status(text);
    }
    void Progress(int code, int32_t value) override {
        if (code == kFplLinked && o_.results && !started_) {
            started_ = true;
            RunResult start;
            start.port = o_.port;
            start.stream = o_.stream;
            start.speed = o_.speed;
            runId_ = NewUuid();
            start.runId = runId_;
            Log(ResultsLog::Event::kStart, start);
        }
        rep_.Progress(code, value);
    }
    void Message(const std::string& line) override { rep_.Message(line); }
    void Result(const RunResult& r) override {
        if (o_.results) {
            RunResult named = r;
            named.runId = runId_;
            Log(ResultsLog::Event::kEnd, named);
        }
        // "Can not open" is on the result line already, with its cause beneath.
        if (!r.alert.empty() && r.outcome != RunEnd::PortNotOpened) rep_.Message(r.alert);
        rep_.Result(r.exitCode, r.status, r.elapsedMs, r.dumps, r.cause);
    }
    bool LogFailed() const { return logFailed_; }

private:
    void Log(ResultsLog::Event event, const RunResult& r) {
        std::string error;
        if (o_.results->Append(event, r, {}, error)) return;
        if (!logFailed_) rep_.Problem(error);
        logFailed_ = true;
    }

    Reporter& rep_;
    const SingleRunOptions& o_;
    bool started_ = false;
    std::string runId_;
    bool logFailed_ = false;
};

} // namespace

int RunSingle(const SingleRunOptions& o, Reporter& rep) {
    RunRequest r;
    r.stream = o.stream;
    r.port = o.port;
    r.speed = o.speed;
    r.levelCode = o.debug ? 20 : 0;
    // Named by the station's rules even here, so that a second read-back never replaces the first.
    r.dumpFile = DumpFiles({o.port}, o.dumpDir, false).SaveName(0);
    r.digest = o.results != nullptr;
    r.trust = o.trust;
    SingleRunEvents events(rep, o);
    RunServices services = DefaultRunServices();
    if (o.wireTrace) services = WithWireTrace(std::move(services), *o.wireTrace);
    ProgrammingRun run(std::move(r), std::move(services), events);
    // One module: nothing to finish cleanly that an abort would not end as well.
    ScopedInterrupt interrupt([&run] { run.Abort(); }, [&run] { run.Abort(); });
    int code = run.Execute().exitCode;
    return events.LogFailed() ? MostSerious(code, 6) : code;
}

} // namespace zem::cli
