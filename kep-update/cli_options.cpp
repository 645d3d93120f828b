#include "cli_options.h"

#include "build_info.h"
#include "outcome.h"
#include "system.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <set>

// Long enough for any bench; 86400 s also fits 32-bit milliseconds.
#define TIMEOUT_SECONDS_MAX 86400

static const char *const description =
    "Writes a firmware image into KEP targets over serial ports: contacts each target,\n"
    "writes the image in 1024-byte blocks from 0x08000800, has the target check the\n"
    "written range against the local CRC, and resets it.\n"
    "The trace goes to standard output; status and progress to standard error.";

// Around the interrupt line and the examples, which name this system's ways
// (system_help_texts).
static const char *const footer_head =
    "Exit status:\n"
    "  0  every target written and verified (a reset not confirmed is a warning)\n"
    "  1  a target's CRC differed (FAILED)\n"
    "  2  usage or image error, no port was touched; or no serial number could be taken\n"
    "  3  a port could not be opened\n"
    "  4  no valid reply within --timeout, the target stopped taking data, or a port\n"
    "     stopped working\n"
    "  5  an update ran, but its record could not be written to the --report file\n"
    "  130  interrupted (";
static const char *const footer_tail =
    ")\n"
    "With several ports, the highest status of them. With --check, 0 means the\n"
    "target's CRC-16 of the image's own bytes equals the image's (equal CRC-16) and 1\n"
    "that it differs.\n"
    "--watch runs until Ctrl-C: the first takes no new boards and lets the running\n"
    "ones finish, a second interrupts them; it exits with the highest status of its\n"
    "boards. It reads the image once at the start, never again: a file replaced on\n"
    "disk cannot change what a running station writes.\n"
    "--report appends one JSON object per target and line as each ends.\n"
    "--summarize exits 0 when every line of its files was a record, 2 when a line was\n"
    "skipped or a file could not be read.\n";

// "--port A,B --port C" gives A, B, C; a port named twice is refused, since
// two updates of one target would fight over it.
static std::string check_ports(const std::vector<std::string> &ports)
{
    std::set<std::string> seen;
    for (const auto &port : ports) {
        if (port.empty())
            return "--port needs a port name, not an empty one";
        if (!seen.insert(port).second)
            return "port " + port + " is named more than once";
    }
    return "";
}

// The options that take effect once: a second use would silently override
// the first, so it is refused.
// clang-format off
static const char *const single_options[][2] = {
    {"--image", "-i"},  {"--timeout", "-t"}, {"--report", "-r"},   {"--quiet", "-q"},
    {"--list-ports", "-l"}, {"--watch", "-w"}, {"--skip-present", ""}, {"--check", "-c"},
    {"--describe", ""}, {"--bell", ""}, {"--serial-number", ""}, {"--serial-file", ""}, {"--serial-format", ""},
    {"--serial-start", ""}, {"--expect-sha256", ""},
    {"--station", ""}, {"--lot", ""}, {"--operator", ""}, {"--summarize", ""}, {"--json", ""},
};
// clang-format on

static bool is_option(const std::string &word, const char *name)
{
    size_t n = strlen(name);
    return n && word.compare(0, n, name) == 0 &&
           (word.size() == n || (name[1] == '-' && word[n] == '='));
}

// Problems CLI11 lets through or words wrongly: an option given twice, and
// an empty name in a --port comma list ("a,,b", "a,").
static std::string check_words(int argc, char **argv)
{
    std::vector<int> uses(sizeof single_options / sizeof single_options[0], 0);
    for (int i = 1; i < argc; i++) {
        std::string word = argv[i];
        if (word == "--")
            break;
        for (size_t k = 0; k < uses.size(); k++)
            if ((is_option(word, single_options[k][0]) || is_option(word, single_options[k][1])) &&
                ++uses[k] == 2)
                return std::string(single_options[k][0]) + " is given more than once";
        std::string ports;
        if (word.rfind("--port=", 0) == 0)
            ports = word.substr(7);
        else if ((word == "--port" || word == "-p") && i + 1 < argc)
            ports = argv[i + 1];
        else
            continue;
        if (ports.empty() || ports.front() == ',' || ports.back() == ',' ||
            ports.find(",,") != std::string::npos)
            return "--port needs a port name, not an empty one";
    }
    return "";
}

// Whole decimal or 0x-hex numbers only: "12abc" and "-1" are not.
static bool parse_whole(const std::string &text, uint64_t max, uint64_t *value)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text.c_str(), &end, 0);
    if (text.empty() || !isdigit((unsigned char)text[0]) || *end != '\0' || errno || parsed > max)
        return false;
    *value = parsed;
    return true;
}

// A check takes no number: it needs the field's address and format only.
static std::string parse_serial_options(const std::string &address, const std::string &format,
                                        const std::string &start, bool check,
                                        serial_settings *serial)
{
    bool any = !address.empty() || !serial->file.empty() || !start.empty() || format != "u32le";
    if (!any)
        return "";
    if (address.empty() || (serial->file.empty() && !check))
        return check ? "--check skips a serial number's field only when --serial-number ADDRESS "
                       "names it"
                     : "--serial-number ADDRESS and --serial-file FILE go together";
    uint64_t value = 0;
    if (!parse_whole(address, UINT32_MAX, &value))
        return "--serial-number takes a flash address such as 0x0800F000, not \"" + address + "\"";
    serial->address = (uint32_t)value;
    if (!parse_serial_format(format, &serial->format))
        return "--serial-format takes u32le, u32be, u64le or ascii:N (N from 1 to 20), not \"" +
               format + "\"";
    serial->format_name = format;
    if (!start.empty() && !parse_whole(start, UINT64_MAX - 1, &serial->start))
        return "--serial-start takes a whole number, not \"" + start + "\"";
    serial->has_start = !start.empty();
    serial->used = true;
    return "";
}

// 0 or a finite number of seconds up to a day; "abc", "nan" and "inf" are
// not, nor a positive time under a millisecond, which would count as 0.
static bool parse_timeout(const std::string &text, double *seconds)
{
    char *end = nullptr;
    double value = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0 ||
        value > TIMEOUT_SECONDS_MAX || (value > 0 && value < 0.001))
        return false;
    *seconds = value;
    return true;
}

// CLI11's texts name its own terms; these read as a person would say them.
static void report_parse_error(const CLI::ParseError &error, const std::vector<std::string> &extras)
{
    if (!extras.empty() && extras.front().rfind('-', 0) == 0)
        fprintf(stderr, "kep-update: unknown option \"%s\" (see --help)\n", extras.front().c_str());
    else if (!extras.empty())
        fprintf(stderr,
                "kep-update: \"%s\" belongs to no option: give one port per --port (or a comma "
                "list), an image with --image (see --help)\n",
                extras.front().c_str());
    else if (dynamic_cast<const CLI::ArgumentMismatch *>(&error))
        // "--port: 1 required PORT missing": the option's name comes first.
        fprintf(stderr, "kep-update: %s needs a value (see --help)\n",
                std::string(error.what()).substr(0, std::string(error.what()).find(':')).c_str());
    else
        fprintf(stderr, "kep-update: %s (see --help)\n", error.what());
}

int parse_cli_options(int argc, char **argv, cli_options *options)
{
    CLI::App app{description, "kep-update"};
    const help_texts &system = system_help_texts();
    app.footer(std::string(footer_head) + system.stop_requests + footer_tail + system.examples);
    app.set_version_flag("--version",
                         "kep-update " KEP_VERSION "\nBuilt-in " KEP_FIRMWARE_DESCRIPTION);
    app.add_option("-p,--port", options->ports,
                   std::string("serial port of a target (") + system.port_example +
                       "); repeat or give a comma list to update several targets at once")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->type_name("PORT");
    app.add_option("-i,--image", options->image_path,
                   "image to write instead of the built-in one: raw binary (written from "
                   "0x08000800), Intel HEX, S-record or ELF32")
        ->type_name("FILE");
    std::string timeout;
    app.add_option("-t,--timeout", timeout,
                   "give up when no valid reply has come for this long, whatever the tool is "
                   "doing (up to 86400; default 10); 0 waits for ever")
        ->type_name("SECONDS");
    app.add_flag("-q,--quiet", options->quiet, "write only errors to standard error");
    app.add_flag("-l,--list-ports", options->list_ports, "list the serial ports present and exit");
    app.add_flag("-w,--watch", options->watch,
                 std::string("a production station: every port matching a --port pattern (") +
                     system.watch_patterns +
                     "), present or plugged in later, is a slot that looks for boards by "
                     "contact; each board placed on it is updated once (one holding the image "
                     "already is only recorded), and its PASS or FAILED stays shown until it is "
                     "removed. On a terminal the screen shows one row per slot and no trace, "
                     "unless standard output is redirected");
    app.add_flag("--skip-present", options->skip_present,
                 "with --watch, leave the boards present at the start alone until removed");
    app.add_flag("--bell", options->bell, "with --watch, ring the terminal's bell on each FAILED");
    app.add_flag("-c,--check", options->check,
                 "only compare: ask each target's CRC of the image's own bytes (not the padding "
                 "an update writes after them); nothing is written and the target is not "
                 "reset; equal means equal CRC-16");
    app.add_option("-r,--report", options->report_path,
                   "append a JSON Lines record of every target updated or checked to this file")
        ->type_name("FILE");
    std::vector<std::pair<const char *, std::string *>> origin = {
        {"--station", &options->origin.station},
        {"--lot", &options->origin.lot},
        {"--operator", &options->origin.operator_name}};
    app.add_option("--station", options->origin.station,
                   "the station's name in every --report record (default: the host name)")
        ->type_name("NAME");
    app.add_option("--lot", options->origin.lot,
                   "the lot or work order in every --report record (default: null)")
        ->type_name("TEXT");
    app.add_option("--operator", options->origin.operator_name,
                   "who runs the station, in every --report record (default: null)")
        ->type_name("TEXT");
    app.add_flag("--describe", options->describe,
                 "print the image's format, addresses, size, blocks, CRC-16 and SHA-256 "
                 "and exit; touches no port");
    app.add_option("--summarize", options->summarize,
                   "read these --report files and print per station and lot: boards, passed, "
                   "failed by outcome, first-pass yield, boards per hour over the active time, "
                   "the serial numbers used and the update times; touches no port. A line that "
                   "is not a record is named and skipped, and the status is then 2")
        ->type_name("FILE")
        ->expected(1, -1);
    app.add_flag("--json", options->json, "with --summarize: print one JSON object instead");

    std::string serial_address, serial_format = "u32le", serial_start, expect_sha256;
    app.add_option("--serial-number", serial_address,
                   "give each board the next number from --serial-file, written into its copy "
                   "of the image at this flash address (0x0800F000), where the image holds "
                   "blank bytes (all 0xFF or all 0x00); the CRC and verify cover the number. With "
                   "--check it only says where the number lies, so that the check skips it, and "
                   "needs no --serial-file")
        ->type_name("ADDRESS");
    app.add_option("--serial-file", options->serial.file,
                   "the file holding the next serial number in decimal; taken under a lock and "
                   "advanced on the disk once the board has answered, before its first block, "
                   "so that no number is handed out twice, whatever happens to the board")
        ->type_name("FILE");
    app.add_option("--serial-format", serial_format,
                   "how the number is written: u32le (default), u32be, u64le, or ascii:N "
                   "(N decimal digits, zero-padded)")
        ->type_name("FORMAT");
    app.add_option("--serial-start", serial_start,
                   "the first number, when --serial-file does not exist yet")
        ->type_name("N");
    app.add_option("--expect-sha256", expect_sha256,
                   "refuse an image whose padded SHA-256 (as --describe prints it) is not this "
                   "one; the image is read once at the start, and --watch never reads the file "
                   "again, so a file replaced on disk cannot change what a station writes")
        ->type_name("HEX");

    std::string misuse = check_words(argc, argv);
    if (!misuse.empty()) {
        fprintf(stderr, "kep-update: %s (see --help)\n", misuse.c_str());
        return EXIT_USAGE;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &success) {
        return app.exit(success);
    } catch (const CLI::ExtrasError &error) {
        report_parse_error(error, app.remaining());
        return EXIT_USAGE;
    } catch (const CLI::ParseError &error) {
        report_parse_error(error, {});
        return EXIT_USAGE;
    }
    if (!timeout.empty() && !parse_timeout(timeout, &options->timeout_seconds)) {
        fprintf(stderr,
                "kep-update: --timeout takes 0 or a number of seconds from 0.001 up to %d, not "
                "\"%s\"\n",
                TIMEOUT_SECONDS_MAX, timeout.c_str());
        return EXIT_USAGE;
    }
    std::string serial_problem = parse_serial_options(serial_address, serial_format, serial_start,
                                                      options->check, &options->serial);
    if (serial_problem.empty() && !expect_sha256.empty() &&
        (expect_sha256.size() != 64 ||
         expect_sha256.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos))
        serial_problem = "--expect-sha256 takes the 64 hex digits --describe prints, not \"" +
                         expect_sha256 + "\"";
    if (!serial_problem.empty()) {
        fprintf(stderr, "kep-update: %s\n", serial_problem.c_str());
        return EXIT_USAGE;
    }
    for (const auto &[name, value] : origin)
        if (app.count(name) && value->empty()) {
            fprintf(stderr, "kep-update: %s needs a value, not an empty one\n", name);
            return EXIT_USAGE;
        }
    for (char c : expect_sha256)
        options->expect_sha256 += (char)tolower((unsigned char)c);
    bool summarizing = !options->summarize.empty();
    if (options->json && !summarizing) {
        fprintf(stderr, "kep-update: --json goes with --summarize\n");
        return EXIT_USAGE;
    }
    if (summarizing && (!options->ports.empty() || options->watch || options->check ||
                        options->describe || options->list_ports)) {
        fprintf(stderr, "kep-update: --summarize reads report files and touches no port; give "
                        "it without --port, --watch, --check, --describe and --list-ports\n");
        return EXIT_USAGE;
    }
    if (options->list_ports || options->describe || summarizing)
        return -1;
    std::string problem = options->ports.empty() && !options->watch
                              ? "name the target's port with --port (see --help)"
                              : check_ports(options->ports);
    if (options->skip_present && !options->watch)
        problem = "--skip-present goes with --watch";
    if (options->bell && !options->watch)
        problem = "--bell goes with --watch";
    if (!problem.empty()) {
        fprintf(stderr, "kep-update: %s\n", problem.c_str());
        return EXIT_USAGE;
    }
    return -1;
}
