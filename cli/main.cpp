// zemcli: the headless programmer. One programming run per invocation, with the exit codes of the
// desktop program; runs on several ports side by side, one module after another; or a look at a
// stream file or at the serial ports.
#include "Format.h"
#include "Inspect.h"
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
}

int main(int argc, char** argv) {
    CLI::App app{"Zem flash programmer, headless"};
    app.set_version_flag("--version", std::string(zem::txt::kVersion));
    bool debug = false, json = false, info = false, listPorts = false, loop = false;
    bool presence = false;
    unsigned count = 0;
    std::string resultsFile, dumpDir, wireTraceFile;
    std::vector<std::string> args;
    app.add_flag("--debug", debug,
                 "Write the protocol trace to LocalLog.txt (report level code 20)");
    app.add_flag("--json", json, "One JSON object per line on standard output");
    app.add_flag("--info", info, "Show a stream file's header and records");
    app.add_flag("--list-ports", listPorts, "List the serial ports present");
    app.add_flag("--loop", loop, "Program one module after another on each port until Ctrl-C");
    app.add_option("--count", count, "Program N modules one after another on each port")
        ->check(CLI::PositiveNumber);
    app.add_option("--results", resultsFile,
                   "Append a JSON line to FILE when a module's run begins and when it ends");
    app.add_option("--dump-dir", dumpDir, "Put the dump files in DIR");
    app.add_flag("--presence", presence,
                 "With --loop or --count: wait for the module's DSR or CTS before each run and "
                 "for it to drop after");
    zem::TlsTrust trust;
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
    app.footer(kUsage);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s\n%s", e.what(), kUsage);
        return 2;
    }

    bool stationOptions = loop || count > 0 || !resultsFile.empty() || !dumpDir.empty() ||
                          presence || !line.url.empty();
    if ((listPorts || info) && (stationOptions || !wireTraceFile.empty())) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (listPorts) {
        if (!args.empty() || info || debug) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        return zem::cli::ListPorts(json, stdout);
    }
    if (info) {
        if (args.size() != 1 || debug) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        return zem::cli::ShowInfo(args[0], json, stdout);
    }
    if (args.size() != 3 || (loop && count > 0) || (presence && !loop && count == 0)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::vector<std::string> ports = zem::SplitPortList(args[1]);
    if (ports.empty()) {
        std::fprintf(stderr, "zemcli: every port once, none empty: %s\n%s", args[1].c_str(),
                     kUsage);
        return 2;
    }
    // Trace, dumps and the results log's neighbours land in the working folder.
    if (std::string here = zem::CurrentDir(); !zem::IsFolderWritable(here))
        std::fprintf(stderr, "%s\n",
                     zem::Format(zem::txt::kFolderNotWritable, here.c_str()).c_str());
    std::error_code ec;
    if (!dumpDir.empty() && !std::filesystem::is_directory(dumpDir, ec)) {
        std::fprintf(stderr, "zemcli: no such folder: %s\n", dumpDir.c_str());
        return 2;
    }
    std::unique_ptr<zem::ResultsLog> results;
    if (!resultsFile.empty()) {
        results = std::make_unique<zem::ResultsLog>(resultsFile, zem::HostName());
        if (!results->Writable()) {
            std::fprintf(stderr, "zemcli: can not append to %s\n", resultsFile.c_str());
            return 2;
        }
    }
    std::unique_ptr<zem::WireTrace> wireTrace;
    if (!wireTraceFile.empty()) {
        wireTrace = std::make_unique<zem::WireTrace>(wireTraceFile);
        if (!wireTrace->Ok()) {
            std::fprintf(stderr, "zemcli: can not write %s\n", wireTraceFile.c_str());
            return 2;
        }
    }
    if ((!line.tokenFile.empty() || line.maxUnsent >= 0) && line.url.empty()) {
        std::fprintf(stderr, "zemcli: --line-token-file and --max-unsent go with --line\n%s",
                     kUsage);
        return 2;
    }
    // A stream that is not a released job is refused before any port opens.
    zem::cli::LineSession lineSession;
    line.trust = trust;
    if (int code = lineSession.Begin(line, args[0], resultsFile, stderr); code != 0) return code;
    // One port, one module: the single run's display, as it has always been.
    if (ports.size() == 1 && !loop && count == 0) {
        zem::cli::Reporter reporter(json, zem::IsTerminal(stderr), stdout, stderr);
        int code = zem::cli::RunSingle(
            {args[0], args[1], args[2], debug, dumpDir, results.get(), trust, wireTrace.get()},
            reporter);
        lineSession.End();
        return code;
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
    return code;
}
