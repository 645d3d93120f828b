#include "cli_options.h"

#include "build_info.h"
#include "database/connection_text.h"
#include "outcome.h"
#include "system.h"

#include <CLI/CLI.hpp>
#include <algorithm>
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

// "--port A,B --port C" gives A, B, C. CLI11 would drop the empty names of
// "a,,b" or "a,", a typo each, so the words are split here; a port named
// twice is refused, since two updates of one target would fight over it.
static std::string read_ports(const std::vector<std::string> &words,
                              std::vector<std::string> *ports)
{
    std::set<std::string> seen;
    for (const auto &word : words)
        for (size_t start = 0, comma = 0; comma != std::string::npos; start = comma + 1) {
            comma = word.find(',', start);
            std::string port = word.substr(start, comma - start);
            if (port.empty())
                return "--port needs a port name, not an empty one (see --help)";
            if (!seen.insert(port).second)
                return "port " + port + " is named more than once";
            ports->push_back(port);
        }
    return "";
}

// PATTERN=NAME, split at the last "=": a port's path may hold one, a slot's
// name hardly.
static std::string read_slot_names(const std::vector<std::string> &words,
                                   std::vector<slot_name_rule> *rules)
{
    for (const auto &word : words) {
        size_t equals = word.rfind('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == word.size())
            return "--slot-name takes PATTERN=NAME, a port pattern and the slot's name, not \"" +
                   word + "\"";
        rules->push_back({word.substr(0, equals), word.substr(equals + 1)});
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

static bool given(const CLI::App &app, const char *name) { return app.count(name) > 0; }

// The field's address and format and the first number, each as given; which
// of them go together is a rule below. A check takes no number: it needs the
// field's address and format only.
static std::string read_serial_values(const CLI::App &app, const std::string &address,
                                      const std::string &format, const std::string &start,
                                      bool check, serial_settings *serial)
{
    uint64_t value = 0;
    if (given(app, "--serial-number") && !parse_whole(address, UINT32_MAX, &value))
        return "--serial-number takes a flash address such as 0x0800F000, not \"" + address + "\"";
    serial->address = (uint32_t)value;
    if (!parse_serial_format(format, &serial->format))
        return "--serial-format takes u32le, u32be, u64le or ascii:N (N from 1 to 20), not \"" +
               format + "\"";
    serial->format_name = format;
    if (!start.empty() && !parse_whole(start, UINT64_MAX - 1, &serial->start))
        return "--serial-start takes a whole number, not \"" + start + "\"";
    serial->has_start = !start.empty();
    serial->used = given(app, "--serial-number") &&
                   (given(app, "--serial-file") || given(app, "--database") || check);
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

// With --describe, --list-ports or --summarize no board is touched, so a
// station's command line may be given whole to show what it would do.
static bool touches_boards(const cli_options &o)
{
    return !o.list_ports && !o.describe && !o.summarizing && !o.init_database;
}

static bool any_serial_option(const CLI::App &app)
{
    return given(app, "--serial-number") || given(app, "--serial-file") ||
           given(app, "--serial-format") || given(app, "--serial-start");
}

// The checks between options, in order: the first one broken is the message.
struct option_rule {
    const char *message;
    bool (*broken)(const cli_options &o, const CLI::App &app);
};
// clang-format off
static const option_rule option_rules[] = {
    {"--json goes with --summarize",
     [](const cli_options &o, const CLI::App &) { return o.json && !o.summarizing; }},
    {"--summarize reads report files and touches no port; give it without --port, --watch, "
     "--check, --describe and --list-ports",
     [](const cli_options &o, const CLI::App &) {
         return o.summarizing &&
                (!o.ports.empty() || o.watch || o.check || o.describe || o.list_ports);
     }},
    {"--check skips a serial number's field only when --serial-number ADDRESS names it",
     [](const cli_options &o, const CLI::App &app) {
         return o.check && any_serial_option(app) && !given(app, "--serial-number");
     }},
    {"--summarize needs report files or --database",
     [](const cli_options &o, const CLI::App &) {
         return o.summarizing && o.summarize.empty() && o.database.empty();
     }},
    {"--serial-file and --database both hand out serial numbers: give one of them",
     [](const cli_options &o, const CLI::App &app) {
         return !o.database.empty() && given(app, "--serial-file");
     }},
    {"--init-database goes with --database, and with no port, --watch or --summarize",
     [](const cli_options &o, const CLI::App &) {
         return o.init_database && (o.database.empty() || !o.ports.empty() || o.watch ||
                                    o.summarizing || o.check || o.describe || o.list_ports);
     }},
    {"--serial-pool and --outbox go with --database",
     [](const cli_options &o, const CLI::App &app) {
         return o.database.empty() && (given(app, "--serial-pool") || given(app, "--outbox"));
     }},
    // A summary reads the serial file's ledger: the file alone will do; so
    // does --init-database's first number.
    {"--serial-number ADDRESS and --serial-file FILE (or --database) go together",
     [](const cli_options &o, const CLI::App &app) {
         bool ledger = o.summarizing && !given(app, "--serial-number") &&
                       !given(app, "--serial-format") && !given(app, "--serial-start");
         bool pool_start = o.init_database && !given(app, "--serial-number") &&
                           !given(app, "--serial-format");
         bool source = given(app, "--serial-file") || !o.database.empty();
         return any_serial_option(app) && !o.check && !ledger && !pool_start &&
                !(given(app, "--serial-number") && source);
     }},
    {"--skip-unchanged writes less; --check writes nothing: give one of them",
     [](const cli_options &o, const CLI::App &) { return o.skip_unchanged && o.check; }},
    {"--bell goes with --watch",
     [](const cli_options &o, const CLI::App &) { return o.bell && !o.watch && touches_boards(o); }},
    {"--skip-present goes with --watch",
     [](const cli_options &o, const CLI::App &) {
         return o.skip_present && !o.watch && touches_boards(o);
     }},
    {"--slot-name goes with --watch",
     [](const cli_options &o, const CLI::App &) {
         return !o.slot_names.empty() && !o.watch && touches_boards(o);
     }},
    {"name the target's port with --port (see --help)",
     [](const cli_options &o, const CLI::App &) {
         return o.ports.empty() && !o.watch && touches_boards(o);
     }},
};
// clang-format on

// An option holding more values than it takes was given more than once:
// CLI11 refuses that itself, but names it in its own terms.
static const CLI::Option *repeated_option(const CLI::App &app)
{
    for (const CLI::Option *option : app.get_options())
        if (option->get_multi_option_policy() == CLI::MultiOptionPolicy::Throw &&
            option->count() > (size_t)std::max(1, option->get_items_expected_max()))
            return option;
    return nullptr;
}

// CLI11's texts name its own terms; these read as a person would say them.
static void report_parse_error(const CLI::App &app, const CLI::ParseError &error,
                               const std::vector<std::string> &extras)
{
    const CLI::Option *repeated = repeated_option(app);
    if (!extras.empty() && extras.front().rfind('-', 0) == 0)
        fprintf(stderr, "kep-update: unknown option \"%s\" (see --help)\n", extras.front().c_str());
    else if (!extras.empty())
        fprintf(stderr,
                "kep-update: \"%s\" belongs to no option: give one port per --port (or a comma "
                "list), an image with --image (see --help)\n",
                extras.front().c_str());
    else if (repeated)
        fprintf(stderr, "kep-update: %s is given more than once (see --help)\n",
                repeated->get_name().c_str());
    else if (dynamic_cast<const CLI::ArgumentMismatch *>(&error))
        // "--port: 1 required PORT missing": the option's name comes first.
        fprintf(stderr, "kep-update: %s needs a value (see --help)\n",
                std::string(error.what()).substr(0, std::string(error.what()).find(':')).c_str());
    else
        fprintf(stderr, "kep-update: %s (see --help)\n", error.what());
}

// What the options' values are read into before they are checked.
struct option_words {
    CLI::Option *ports = nullptr, *slots = nullptr; // the lists, read once parsed
    std::string timeout, serial_address, serial_format = "u32le", serial_start, expect_sha256;
    // CLI11 counts the values of an option taking several, not its uses: a
    // second --summarize is counted here, as each is read.
    int summarize_uses = 0;
    std::string database;
};

// The targets and how they are updated.
static void add_target_options(CLI::App &app, const help_texts &system, cli_options *options,
                               option_words *w)
{
    // The lists take every use; any other option takes effect once (below).
    w->ports =
        app.add_option("-p,--port", CLI::callback_t(),
                       std::string("serial port of a target (") + system.port_example +
                           "); repeat or give a comma list to update several targets at once")
            ->allow_extra_args(false)
            ->type_name("PORT")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("-i,--image", options->image_path,
                   "image to write instead of the built-in one: raw binary (written from "
                   "0x08000800), Intel HEX, S-record or ELF32")
        ->type_name("FILE");
    app.add_option("-t,--timeout", w->timeout,
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
    w->slots =
        app.add_option("--slot-name", CLI::callback_t(),
                       "with --watch, name the slot of each port matching the glob PATTERN "
                       "(* and ?) by its place on the fixture, such as "
                       "'/dev/serial/by-path/*usb-0:1.1:*=A1' (COM7=A1 on Windows); repeat for "
                       "each slot: the first that matches names it, and a port none matches is "
                       "named by its port")
            ->allow_extra_args(false)
            ->type_name("PATTERN=NAME")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("-c,--check", options->check,
                 "only compare: ask each target's CRC of the image's own bytes (not the padding "
                 "an update writes after them); nothing is written and the target is not "
                 "reset; equal means equal CRC-16");
    app.add_flag("--skip-unchanged", options->skip_unchanged,
                 "before each block, ask the target its CRC-16 of the block's two 512-byte "
                 "halves and leave the block out when both equal the image's; the whole image "
                 "is verified afterwards as always");
}

// The records, and what reads them back.
static void add_record_options(CLI::App &app, cli_options *options, option_words *w)
{
    app.add_option("-r,--report", options->report_path,
                   "append a JSON Lines record of every target updated or checked to this file")
        ->type_name("FILE");
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
    // CLI11 counts the values of an option taking several, not its uses: a
    // second --summarize is counted here, as each is read.
    app.add_option(
           "--summarize",
           [options, w](const CLI::results_t &files) {
               w->summarize_uses++;
               options->summarizing = true;
               for (const auto &file : files) // with no file CLI11 gives one empty name
                   if (!file.empty())
                       options->summarize.push_back(file);
               return true;
           },
           "read these --report files and print per station and lot: boards, passed, "
           "failed by outcome, first-pass yield, boards per hour over the active time, "
           "the serial numbers used and the update times; touches no port. A line that "
           "is not a record is named and skipped, and the status is then 2. With "
           "--serial-file, also the numbers its ledger lists as taken that no record holds. With "
           "--database, the line's records and ledger in the database (no files needed), "
           "narrowed by --station and --lot when given")
        ->type_name("FILE")
        ->expected(0, -1)
        ->allow_extra_args()
        ->trigger_on_parse();
    app.add_flag("--json", options->json, "with --summarize: print one JSON object instead");

}

// Each board's number, and the image it is written into.
static void add_serial_options(CLI::App &app, cli_options *options, option_words *w)
{
    app.add_option("--serial-number", w->serial_address,
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
    app.add_option("--serial-format", w->serial_format,
                   "how the number is written: u32le (default), u32be, u64le, or ascii:N "
                   "(N decimal digits, zero-padded)")
        ->type_name("FORMAT");
    app.add_option("--serial-start", w->serial_start,
                   "the first number, when --serial-file does not exist yet")
        ->type_name("N");
    app.add_option("--expect-sha256", w->expect_sha256,
                   "refuse an image whose padded SHA-256 (as --describe prints it) is not this "
                   "one; the image is read once at the start, and --watch never reads the file "
                   "again, so a file replaced on disk cannot change what a station writes")
        ->type_name("HEX");
}

// The line's database: numbers, ledger and records shared by its stations.
static void add_database_options(CLI::App &app, cli_options *options, option_words *w)
{
    app.add_option("--database", w->database,
                   "share serial numbers and records with the line's other stations in this "
                   "database: an ODBC connection string or data source name, @FILE for the first "
                   "line of FILE, or nothing for the KEP_DATABASE environment variable (keeps a "
                   "password off the command line). Records also go to a local outbox first, so "
                   "none is lost while the server is away")
        ->type_name("CONNECTION")
        ->expected(0, 1);
    app.add_flag("--init-database", options->init_database,
                 "with --database, make the tables, the ledger, the yield view and the station "
                 "role where missing, and the --serial-pool starting at --serial-start (default "
                 "1); what is there is left alone");
    app.add_option("--serial-pool", options->serial_pool,
                   "with --database, the pool the numbers come from (default: default)")
        ->type_name("NAME");
    app.add_option("--outbox", options->outbox,
                   "with --database, the local file holding the records the server has not "
                   "confirmed yet (default: outbox.jsonl in the station's state folder)")
        ->type_name("FILE");
}

// -1 once the words are parsed; else the status to end with, said.
static int parse_words(CLI::App &app, int argc, char **argv)
{
    // CLI11 takes the last of a flag given twice; ours are refused as a
    // second --image is.
    for (CLI::Option *option : app.get_options())
        if (option != app.get_help_ptr() && option != app.get_version_ptr() &&
            option->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeLast)
            option->multi_option_policy(CLI::MultiOptionPolicy::Throw);

    // CLI11 reads "--port=" as "--port" and takes the next word for the port.
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++)
        if (strcmp(argv[i], "--port=") == 0) {
            fprintf(stderr,
                    "kep-update: --port needs a port name, not an empty one (see --help)\n");
            return EXIT_USAGE;
        }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &success) {
        return app.exit(success);
    } catch (const CLI::ExtrasError &error) {
        report_parse_error(app, error, app.remaining());
        return EXIT_USAGE;
    } catch (const CLI::ParseError &error) {
        report_parse_error(app, error, {});
        return EXIT_USAGE;
    }
    return -1;
}

// Empty when the values agree with each other; else what is wrong.
static std::string check_values(const CLI::App &app, const option_words &w, cli_options *options)
{
    std::string problem;
    if (w.summarize_uses > 1)
        problem = "--summarize is given more than once (see --help)";
    else if (!w.timeout.empty() && !parse_timeout(w.timeout, &options->timeout_seconds))
        problem = "--timeout takes 0 or a number of seconds from 0.001 up to " +
                  std::to_string(TIMEOUT_SECONDS_MAX) + ", not \"" + w.timeout + "\"";
    else if (!w.expect_sha256.empty() &&
             (w.expect_sha256.size() != 64 ||
              w.expect_sha256.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos))
        problem = "--expect-sha256 takes the 64 hex digits --describe prints, not \"" +
                  w.expect_sha256 + "\"";
    const std::pair<const char *, const std::string *> origin[] = {
        {"--station", &options->origin.station},
        {"--lot", &options->origin.lot},
        {"--operator", &options->origin.operator_name}};
    for (const auto &[name, value] : origin)
        if (problem.empty() && app.count(name) && value->empty())
            problem = std::string(name) + " needs a value, not an empty one";
    if (problem.empty() && app.count("--database") &&
        !connection_resolve(w.database, &options->database, &problem))
        problem = problem.empty() ? "--database needs a connection" : problem;
    if (problem.empty() && app.count("--serial-pool") && options->serial_pool.empty())
        problem = "--serial-pool needs a name, not an empty one";
    if (problem.empty())
        problem = read_ports(w.ports->results(), &options->ports);
    if (problem.empty())
        problem = read_slot_names(w.slots->results(), &options->slot_names);
    if (problem.empty())
        problem = read_serial_values(app, w.serial_address, w.serial_format, w.serial_start,
                                     options->check, &options->serial);
    for (const option_rule &rule : option_rules)
        if (problem.empty() && rule.broken(*options, app))
            problem = rule.message;
    return problem;
}

int parse_cli_options(int argc, char **argv, cli_options *options)
{
    CLI::App app{description, "kep-update"};
    const help_texts &system = system_help_texts();
    app.footer(std::string(footer_head) + system.stop_requests + footer_tail + system.examples);
    app.set_version_flag("--version",
                         "kep-update " KEP_VERSION "\nBuilt-in " KEP_FIRMWARE_DESCRIPTION);
    option_words w;
    add_target_options(app, system, options, &w);
    add_record_options(app, options, &w);
    add_serial_options(app, options, &w);
    add_database_options(app, options, &w);
    int status = parse_words(app, argc, argv);
    if (status >= 0)
        return status;
    std::string problem = check_values(app, w, options);
    if (!problem.empty()) {
        fprintf(stderr, "kep-update: %s\n", problem.c_str());
        return EXIT_USAGE;
    }
    for (char c : w.expect_sha256)
        options->expect_sha256 += (char)tolower((unsigned char)c);
    return -1;
}
