#include "cli_options.h"

#include "build_info.h"
#include "exit_status.h"

#include <CLI/CLI.hpp>
#include <set>

static const char *const description =
    "Writes a firmware image into KEP targets over serial ports: contacts each target,\n"
    "writes the image in 1024-byte blocks from 0x08000800, has the target check the\n"
    "written range against the local CRC, and resets it.\n"
    "The trace goes to standard output; status and progress to standard error.";

static const char *const footer =
    "Exit status:\n"
    "  0  every target written, verified and reset\n"
    "  1  a target's CRC differed (FAILED)\n"
    "  2  usage or image error; no port was touched\n"
    "  3  a port could not be opened\n"
    "  4  no valid reply within --timeout, or a port stopped working\n"
    "  130  interrupted\n"
    "With several ports, the highest status of them.";

// "--port A,B --port C" gives A, B, C; a port named twice is refused, since
// two updates of one target would fight over it.
static std::string check_ports(const std::vector<std::string> &ports)
{
    std::set<std::string> seen;
    for (const auto &port : ports) {
        if (port.empty())
            return "an empty port name in --port";
        if (!seen.insert(port).second)
            return "port " + port + " is named more than once";
    }
    return "";
}

int parse_cli_options(int argc, char **argv, cli_options *options)
{
    CLI::App app{description, "kep-update"};
    app.footer(footer);
    app.set_version_flag("--version",
                         "kep-update " KEP_VERSION "\nBuilt-in " KEP_FIRMWARE_DESCRIPTION);
    app.add_option("-p,--port", options->ports,
                   "serial port of a target (/dev/ttyUSB0, COM7); repeat or give a comma list "
                   "to update several targets at once")
        ->delimiter(',')
        ->type_name("PORT");
    app.add_option("-i,--image", options->image_path,
                   "image to write instead of the built-in one: raw binary (written from "
                   "0x08000800), Intel HEX, S-record or ELF32")
        ->type_name("FILE");
    app.add_option("-t,--timeout", options->timeout_seconds,
                   "give up when no valid reply has come for this long; 0 waits for ever")
        ->check(CLI::NonNegativeNumber)
        ->type_name("SECONDS")
        ->capture_default_str();
    app.add_flag("-q,--quiet", options->quiet, "write only errors to standard error");
    app.add_flag("-l,--list-ports", options->list_ports, "list the serial ports present and exit");
    app.add_flag("--describe", options->describe,
                 "print the image's format, addresses, size, blocks, CRC-16 and SHA-256 "
                 "and exit; touches no port");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &success) {
        return app.exit(success);
    } catch (const CLI::ParseError &error) {
        app.exit(error);
        return EXIT_USAGE;
    }
    if (options->list_ports || options->describe)
        return -1;
    std::string problem =
        options->ports.empty() ? "--port is required (see --help)" : check_ports(options->ports);
    if (!problem.empty()) {
        fprintf(stderr, "kep-update: %s\n", problem.c_str());
        return EXIT_USAGE;
    }
    return -1;
}
