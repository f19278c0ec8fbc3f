// zemcli: the headless programmer. One programming run per invocation, with the exit codes of the
// desktop program, or a look at a stream file or at the serial ports.
#include "ProgramRun.h"
#include "Reporter.h"
#include "Terminal.h"
#include "Texts.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace {
constexpr const char* kUsage = "Usage : zemcli [--debug] [--json] stream_file port speed\n"
                               "        zemcli --info stream_file [--json]\n"
                               "        zemcli --list-ports [--json]\n";
}

int main(int argc, char** argv) {
    CLI::App app{"Zem flash programmer, headless"};
    app.set_version_flag("--version", std::string(zem::txt::kVersion));
    bool debug = false, json = false, info = false, listPorts = false;
    std::vector<std::string> args;
    app.add_flag("--debug", debug,
                 "Write the protocol trace to LocalLog.txt (report level code 20)");
    app.add_flag("--json", json, "One JSON object per line on standard output");
    app.add_flag("--info", info, "Show a stream file's header and records");
    app.add_flag("--list-ports", listPorts, "List the serial ports present");
    app.add_option("args", args, "STREAM PORT SPEED, or STREAM with --info");
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
    if (args.size() != 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return zem::cli::RunProgramming({args[0], args[1], args[2], debug}, reporter);
}
