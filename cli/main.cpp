// zemcli: the headless programmer. One programming run per invocation, with the exit codes of the
// desktop program; runs on several ports side by side, one module after another; or a look at a
// stream file or at the serial ports.
#include "Format.h"
#include "GangRun.h"
#include "Paths.h"
#include "ProgramRun.h"
#include "Reporter.h"
#include "Terminal.h"
#include "Texts.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {
constexpr const char* kUsage =
    "Usage : zemcli [--debug] [--json] [--loop | --count N] [--results FILE]\n"
    "               [--ca FILE] [--cert FILE --key FILE] [--wire-trace FILE]\n"
    "               stream_file port[,port...] speed\n"
    "        zemcli --info stream_file [--json]\n"
    "        zemcli --list-ports [--json]\n";
}

int main(int argc, char** argv) {
    CLI::App app{"Zem flash programmer, headless"};
    app.set_version_flag("--version", std::string(zem::txt::kVersion));
    bool debug = false, json = false, info = false, listPorts = false, loop = false;
    unsigned count = 0;
    std::string resultsFile, wireTraceFile;
    std::vector<std::string> args;
    app.add_flag("--debug", debug,
                 "Write the protocol trace to LocalLog.txt (report level code 20)");
    app.add_flag("--json", json, "One JSON object per line on standard output");
    app.add_flag("--info", info, "Show a stream file's header and records");
    app.add_flag("--list-ports", listPorts, "List the serial ports present");
    app.add_flag("--loop", loop, "Program one module after another on each port until Ctrl-C");
    app.add_option("--count", count, "Program N modules one after another on each port")
        ->check(CLI::PositiveNumber);
    app.add_option("--results", resultsFile, "Append one JSON line per finished run to FILE");
    zem::TlsTrust trust;
    app.add_option("--ca", trust.caFile,
                   "tls:// ports: trust the CAs of this PEM file instead of the system's");
    app.add_option("--cert", trust.certFile,
                   "tls:// ports: the client certificate (PEM) for servers that ask for one");
    app.add_option("--key", trust.keyFile, "tls:// ports: the client certificate's key (PEM)");
    app.add_option("--wire-trace", wireTraceFile,
                   "Write every byte sent and received to FILE: time, port, direction, hex, text");
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

    zem::cli::Reporter reporter(json, zem::IsTerminal(stderr), stdout, stderr);
    bool station = loop || count > 0 || !resultsFile.empty();
    if ((listPorts || info) && (station || !wireTraceFile.empty())) {
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
    if (args.size() != 3 || (loop && count > 0)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::vector<std::string> ports = zem::cli::SplitPorts(args[1]);
    if (ports.empty()) {
        std::fprintf(stderr, "zemcli: every port once, none empty: %s\n%s", args[1].c_str(),
                     kUsage);
        return 2;
    }
    // Trace, dumps and the results log's neighbours land in the working folder.
    if (std::string here = zem::CurrentDir(); !zem::IsFolderWritable(here))
        std::fprintf(stderr, "%s\n",
                     zem::Format(zem::txt::kFolderNotWritable, here.c_str()).c_str());
    std::unique_ptr<zem::ResultsLog> results;
    if (!resultsFile.empty()) {
        results = std::make_unique<zem::ResultsLog>(resultsFile);
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
    // One port, one module: the single run's display, as it has always been.
    if (ports.size() == 1 && !loop && count == 0)
        return zem::cli::RunProgramming(
            {args[0], args[1], args[2], debug, results.get(), trust, wireTrace.get()}, reporter);
    zem::cli::GangOptions gang;
    gang.stream = args[0];
    gang.ports = ports;
    gang.speed = args[2];
    gang.debug = debug;
    gang.count = loop ? 0 : (count > 0 ? count : 1);
    gang.numbered = loop || count > 0;
    gang.results = results.get();
    gang.trust = trust;
    gang.wireTrace = wireTrace.get();
    return zem::cli::RunGang(gang, json, zem::IsTerminal(stderr), stdout, stderr);
}
