// zemcli: the headless programmer. One programming run per invocation, with the exit codes of the
// desktop program; runs on several ports side by side, one module after another; or a look at a
// stream file or at the serial ports.
#include "Arguments.h"
#include "DumpFiles.h"
#include "ExitCodes.h"
#include "Format.h"
#include "Inspect.h"
#include "OutputQueue.h"
#include "Paths.h"
#include "ProgrammingStation.h"
#include "Reporter.h"
#include "SingleRun.h"
#include "Station.h"
#include "StationRun.h"
#include "Terminal.h"
#include "Texts.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {
constexpr const char* kUsage =
    "Usage : zemcli [--debug] [--json] [--loop | --count N] [--presence] [--results FILE]\n"
    "               [--dump-dir DIR] [--ca FILE] [--cert FILE --key FILE] [--wire-trace FILE]\n"
    "               [--line URL [--line-token-file FILE] [--max-unsent N]]\n"
    "               stream_file port[,port...] speed\n"
    "        zemcli --info stream_file [--json]\n"
    "        zemcli --list-ports [--json]\n";

// The usage, and the speeds a run takes.
std::string UsageText() {
    return std::string(kUsage) + "Speeds: " + zem::cli::SpeedList() + "\n";
}
} // namespace

int main(int argc, char** argv) {
    (void)zem::ProcessStartId(); // this start's id, from its first moment
    CLI::App app{"Zem flash programmer, headless"};
    app.set_version_flag("--version", std::string(zem::txt::kVersion));
    bool json = false;
    zem::cli::Arguments a;
    bool& debug = a.debug;
    bool& info = a.info;
    bool& listPorts = a.listPorts;
    bool& loop = a.loop;
    bool& presence = a.presence;
    std::string& resultsFile = a.resultsFile;
    std::string& dumpDir = a.dumpDir;
    std::string& wireTraceFile = a.wireTraceFile;
    std::vector<std::string>& args = a.positional;
    zem::TlsTrust& trust = a.trust;
    app.add_flag("--debug", debug,
                 "Write the protocol trace to LocalLog.txt (report level code 20)");
    app.add_flag("--json", json, "One JSON object per line on standard output");
    app.add_flag("--info", info, "Show a stream file's header and records");
    app.add_flag("--list-ports", listPorts, "List the serial ports present");
    app.add_flag("--loop", loop, "Program one module after another on each port until Ctrl-C");
    CLI::Option* countOption = app.add_option(
        "--count", a.count, "Program N modules (1 or more) one after another on each port");
    app.add_option("--results", resultsFile,
                   "Append a JSON line to FILE when a module's run begins and when it ends");
    app.add_option("--dump-dir", dumpDir, "Put the dump files in DIR");
    app.add_flag("--presence", presence,
                 "With --loop or --count: wait for the module's DSR or CTS before each run and "
                 "for it to drop after");
    app.add_option("--ca", trust.caFile,
                   "tls:// ports: trust the CAs of this PEM file instead of the system's");
    app.add_option("--cert", trust.certFile,
                   "tls:// ports: the client certificate (PEM) for servers that ask for one");
    app.add_option("--key", trust.keyFile, "tls:// ports: the client certificate's key (PEM)");
    app.add_option("--wire-trace", wireTraceFile,
                   "Write every byte sent and received to FILE: time, port, direction, hex, text");
    zem::cli::LineOptions line;
    app.add_option("--line", line.url,
                   "Send every result to the line service at URL (http:// or https://); the "
                   "stream must be a released job there");
    app.add_option("--line-token-file", line.tokenFile,
                   "The station's token for --line (default: $ZEM_LINE_TOKEN)");
    app.add_option("--max-unsent", line.maxUnsent,
                   "With --line: start no new module while more than N results are unsent")
        ->check(CLI::NonNegativeNumber);
    app.add_option("args", args, "STREAM PORT[,PORT...] SPEED, or STREAM with --info");
    app.footer(UsageText());
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s\n%s", e.what(), UsageText().c_str());
        return zem::exitcode::kRefused;
    }
    // Every argument is checked before anything is opened: a refusal names the argument and why.
    a.countGiven = countOption->count() > 0;
    a.lineUrl = line.url;
    unsigned count = 0;
    if (std::string refusal = zem::cli::CheckArguments(a, count); !refusal.empty()) {
        std::fprintf(stderr, "zemcli: %s\n%s", refusal.c_str(), UsageText().c_str());
        return zem::exitcode::kRefused;
    }
    if ((listPorts || info) && (!line.url.empty() || !line.tokenFile.empty())) {
        std::fprintf(stderr, "zemcli: --line: only for programming runs\n%s", UsageText().c_str());
        return zem::exitcode::kRefused;
    }
    if (listPorts) return zem::cli::ListPorts(json, stdout);
    if (info) return zem::cli::ShowInfo(args[0], json, stdout);
    std::vector<std::string> ports = zem::SplitPortList(args[1]);
    if (ports.empty()) {
        std::fprintf(stderr, "zemcli: every port once, none empty: %s\n%s", args[1].c_str(),
                     kUsage);
        return zem::exitcode::kRefused;
    }
    // Trace, dumps and the results log's neighbours land in the working folder.
    if (std::string here = zem::CurrentDir(); !zem::IsFolderWritable(here))
        std::fprintf(stderr,
                     "zemcli: warning: the working folder %s is not writable: the dump and "
                     "trace files that go there cannot be saved; run zemcli from a folder of "
                     "your own\n",
                     here.c_str());
    if (!trust.keyFile.empty() && zem::IsReadableByOthers(trust.keyFile))
        std::fprintf(stderr,
                     "zemcli: warning: the key file %s can be read by other users of this "
                     "computer; let only its owner read it (chmod 600)\n",
                     trust.keyFile.c_str());
    std::error_code ec;
    if (!dumpDir.empty() && !std::filesystem::is_directory(dumpDir, ec)) {
        std::fprintf(stderr, "zemcli: no such folder: %s\n", dumpDir.c_str());
        return zem::exitcode::kRefused;
    }
    // Found out now, not at the first module that sends a read-back.
    if (std::string cause; !dumpDir.empty() && !zem::DumpFiles::FolderTakesFiles(dumpDir, cause)) {
        std::fprintf(stderr, "zemcli: can not write to the dump folder %s: %s\n", dumpDir.c_str(),
                     cause.c_str());
        return zem::exitcode::kRefused;
    }
    if (presence)
        for (const auto& port : ports)
            if (std::string why; !zem::PortHasModemLines(port, why)) {
                std::fprintf(stderr, "zemcli: --presence needs modem lines; %s has none: %s\n",
                             port.c_str(), why.c_str());
                return zem::exitcode::kRefused;
            }
    std::unique_ptr<zem::ResultsLog> results;
    if (!resultsFile.empty()) {
        results = std::make_unique<zem::ResultsLog>(resultsFile, zem::HostName());
        if (std::string cause; !results->Writable(cause)) {
            std::fprintf(stderr, "zemcli: can not append to %s: %s\n", resultsFile.c_str(),
                         cause.c_str());
            return zem::exitcode::kRefused;
        }
    }
    std::unique_ptr<zem::WireTrace> wireTrace;
    if (!wireTraceFile.empty()) {
        wireTrace = std::make_unique<zem::WireTrace>(wireTraceFile);
        if (!wireTrace->Ok()) {
            std::fprintf(stderr, "zemcli: can not write %s\n", wireTraceFile.c_str());
            return zem::exitcode::kRefused;
        }
    }
    if ((!line.tokenFile.empty() || line.maxUnsent >= 0) && line.url.empty()) {
        std::fprintf(stderr, "zemcli: --line-token-file and --max-unsent go with --line\n%s",
                     kUsage);
        return zem::exitcode::kRefused;
    }
    // A stream that is not a released job is refused before any port opens.
    zem::cli::LineSession lineSession;
    line.trust = trust;
    if (int code = lineSession.Begin(line, args[0], resultsFile, stderr); code != 0) return code;
    // One port, one module: the single run's display, as it has always been.
    if (ports.size() == 1 && !loop && count == 0) {
        int code = 0;
        {
            zem::cli::Reporter reporter(json, zem::IsTerminal(stderr), stdout, stderr);
            code = zem::cli::RunSingle(
                {args[0], args[1], args[2], debug, dumpDir, results.get(), trust, wireTrace.get()},
                reporter);
        }
        lineSession.End();
        wireTrace.reset();
        return zem::cli::OutputQueue::EndProcess(code);
    }
    zem::cli::StationOptions station;
    station.stream = args[0];
    station.ports = ports;
    station.speed = args[2];
    station.debug = debug;
    station.count = loop ? 0 : (count > 0 ? count : 1);
    station.continuous = loop || count > 0;
    station.presenceCheck = presence;
    station.dumpDir = dumpDir;
    station.results = results.get();
    station.trust = trust;
    station.wireTrace = wireTrace.get();
    station.line = &lineSession;
    int code = zem::cli::RunStation(station, json, zem::IsTerminal(stderr), stdout, stderr);
    lineSession.End();
    wireTrace.reset();
    return zem::cli::OutputQueue::EndProcess(code);
}
