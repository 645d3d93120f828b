#include "sim_options.h"

#include "target_model.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>
#include <sstream>

#define EXIT_BAD_USAGE 2

// "K:MS": a block number from 1 and a time in milliseconds, digits only.
static bool parse_block_delay(const std::string &text, block_delay *delay)
{
    const char *end = text.data() + text.size();
    int32_t block = 0, ms = 0;
    auto [after_block, block_error] = std::from_chars(text.data(), end, block);
    if (block_error != std::errc() || after_block == end || *after_block != ':')
        return false;
    auto [after_ms, ms_error] = std::from_chars(after_block + 1, end, ms);
    if (ms_error != std::errc() || after_ms != end || text[0] == '-' || after_block[1] == '-')
        return false;
    if (block < 1 || ms < 0 || ms > 600000)
        return false;
    delay->block = block;
    delay->ms = ms;
    return true;
}

static bool take_block_delay(const std::string &option, const std::string &text, block_delay *delay)
{
    if (text.empty() || parse_block_delay(text, delay))
        return true;
    fprintf(stderr,
            "kep-sim: %s expects K:MS (a block number from 1 and milliseconds), not \"%s\"\n",
            option.c_str(), text.c_str());
    return false;
}

static bool read_load_file(const std::string &path, std::vector<uint8_t> *bytes)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) {
        fprintf(stderr, "kep-sim: cannot open --load file %s\n", path.c_str());
        return false;
    }
    uint8_t chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + got);
    bool ok = !ferror(file);
    fclose(file);
    if (!ok)
        fprintf(stderr, "kep-sim: cannot read --load file %s\n", path.c_str());
    const size_t room = SIM_FLASH_KIB_MAX * 1024u - (SIM_WRITABLE_BASE - SIM_FLASH_BASE);
    if (ok && bytes->size() > room)
        fprintf(stderr, "kep-sim: --load file %s does not fit the flash above 0x08000800\n",
                path.c_str());
    return ok && bytes->size() <= room;
}

int parse_sim_options(int argc, const char *const *argv, sim_options *options)
{
    *options = sim_options{};
    options->baud = 115200;
    fault_switches &faults = options->faults;
    std::string late_ack, split_ack;

    CLI::App app{"kep-sim: a simulated KEP target behind a pseudo-terminal. It prints\n"
                 "\"kep-sim: ready on PATH\" once the tool can open PATH. Blocks are\n"
                 "counted from 1 by address (block K at 0x08000800 + (K-1)*1024); late,\n"
                 "split, corrupt, dropped and duplicated acks affect the first send only.",
                 "kep-sim"};
    app.set_version_flag("--version", "kep-sim " KEP_VERSION);
    app.add_option("--link", options->link_path,
                   "Publish the pseudo-terminal as a symbolic link at this path");
    app.add_option("--dump", options->dump_path,
                   "On reset, write the flash from 0x08000800 up to the last byte written here");
    app.add_option("--dump-on-remove", options->remove_dump_path,
                   "In a fixture, write the board's whole flash from 0x08000800 to the part's "
                   "end here when it is taken off (remove, or --hangup-after), so that what it "
                   "left the fixture with can be checked; give it on an insert line per board")
        ->option_text("FILE");
    app.add_option("--load", options->load_path,
                   "Start with this file's bytes in the flash from 0x08000800 (not counted as "
                   "written)");
    app.add_option("--baud", options->baud, "Line rate both ways, 11 bits a byte; 0: no pacing")
        ->check(CLI::Range(0, 4000000))
        ->capture_default_str();
    app.add_option("--flash-ms", options->flash_ms, "Programming time per block before its ack")
        ->check(CLI::Range(0, 600000));
    app.add_flag("--serve-forever", options->serve_forever,
                 "After a reset, keep the flash and serve again instead of exiting");
    std::string after_reset;
    app.add_option("--after-reset", after_reset,
                   "What the board runs after a reset, serving on as with --serve-forever: "
                   "bootloader (the update can be repeated) or app (its application, which "
                   "answers every request with exception 0x01)")
        ->check(CLI::IsMember({"app", "bootloader"}));
    app.add_option("--control", options->control_path,
                   "FILE: a fixture whose line stays, driven by the lines appended to FILE "
                   "(read from its start, polled every 10 ms): \"insert\" places a new blank "
                   "board in its bootloader with this command line's switches, \"insert "
                   "SWITCHES\" one with these switches instead (--load, --dump-on-remove, "
                   "--after-reset and the faults), \"remove\" takes it off (requests get no "
                   "reply); a board placed over another takes the other off. Serves on after a "
                   "reset; --restart-on-reset restarts the board and --hangup-after K takes it "
                   "off, the line staying")
        ->option_text("FILE");
    auto block = CLI::Range(1, 100000);
    app.add_option("--drop-ack", faults.drop_ack, "No reply to the first send of block K")
        ->check(block);
    app.add_option("--late-ack", late_ack, "K:MS: the ack of block K leaves MS ms late");
    app.add_option("--corrupt-ack", faults.corrupt_ack, "The ack of block K has a bad CRC")
        ->check(block);
    app.add_option("--split-ack", split_ack, "K:MS: the ack of block K in two pieces, MS ms apart");
    app.add_option("--duplicate-ack", faults.duplicate_ack,
                   "The ack of block K is sent twice, 30 ms apart")
        ->check(block);
    app.add_option("--exception", faults.exception,
                   "Every send of block K: exception 0x02 instead of the ack, not written")
        ->check(block);
    app.add_option("--ignore-contact", faults.ignore_contact,
                   "No answer to the first N contact queries")
        ->check(CLI::Range(0, 1000000));
    app.add_flag("--silent", faults.silent, "Never answer anything");
    app.add_flag("--wrong-verify", faults.wrong_verify, "Report a range CRC off by one");
    app.add_option("--flash-kib", faults.flash_kib,
                   "A part with N KiB of flash (default 128): blocks and verify ranges past it "
                   "are answered with exception 0x02")
        ->check(CLI::Range(4, SIM_FLASH_KIB_MAX));
    app.add_flag("--refuse-small-ranges", faults.refuse_small_ranges,
                 "Answer a range query shorter than a block (the contact's aside) with "
                 "exception 0x03, as a bootloader that CRCs whole blocks only");
    app.add_flag("--short-verify", faults.short_verify,
                 "Answer the verify query with a CRC-valid 5-byte frame");
    app.add_option("--hangup-after", faults.hangup_after,
                   "Close the line once the tool has sent its next request after the ack of "
                   "block K (a second at most), then exit 0")
        ->check(block);
    app.add_option("--freeze-after", faults.freeze_after,
                   "Answer nothing more after acknowledging block K, reading on (a hung board "
                   "that stays on its fixture, unlike --stop-reading-after)")
        ->check(block);
    app.add_option("--stop-reading-after", faults.stop_reading_after,
                   "Read nothing more after acknowledging block K; the line's buffer fills, as "
                   "a USB line's does at once")
        ->check(block);
    app.add_flag("--restart-on-reset", faults.restart_on_reset,
                 "Restart on the reset request without answering: the line goes away, exit 0");

    app.add_option("--reply-jitter-ms", options->reply_jitter_ms,
                   "A random delay of 0 to N ms before each reply, as a flash's varying "
                   "programming time gives")
        ->check(CLI::Range(0, 10000));
    app.add_option(
        "--jitter-seed", options->jitter_seed,
        "Seed of that delay, to repeat a run (default: from the clock; the log names it)");
    app.add_option("--chunk-ms", options->chunk_ms,
                   "Hand the bytes of replies to the tool only every N ms, as a USB adapter's "
                   "latency timer does")
        ->check(CLI::Range(0, 1000));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        // CLI11 has its own exit codes; ours are 0 for help and 2 for misuse.
        return app.exit(error) == 0 ? 0 : EXIT_BAD_USAGE;
    }
    options->after_reset = after_reset == "app" ? AFTER_RESET_APPLICATION : AFTER_RESET_BOOTLOADER;
    if (!after_reset.empty() || !options->control_path.empty())
        options->serve_forever = true;
    if (!take_block_delay("--late-ack", late_ack, &faults.late_ack) ||
        !take_block_delay("--split-ack", split_ack, &faults.split_ack))
        return EXIT_BAD_USAGE;
    if (!options->load_path.empty() && !read_load_file(options->load_path, &options->preload))
        return EXIT_BAD_USAGE;
    return SIM_OPTIONS_OK;
}

control_command parse_control_line(const std::string &line, const sim_options &command_line)
{
    std::istringstream words_in(line);
    std::vector<std::string> words;
    for (std::string word; words_in >> word;)
        words.push_back(word);
    control_command command{};
    if (words.empty() || words[0][0] == '#')
        return command;
    command.board = command_line;
    if (words[0] == "remove" && words.size() == 1) {
        command.kind = CONTROL_REMOVE;
        return command;
    }
    if (words[0] != "insert") {
        fprintf(stderr, "kep-sim: --control: \"%s\" is not insert, insert SWITCHES or remove\n",
                line.c_str());
        command.kind = CONTROL_BAD;
        return command;
    }
    command.kind = CONTROL_INSERT;
    if (words.size() == 1)
        return command;
    std::vector<const char *> argv;
    for (const std::string &word : words)
        argv.push_back(word.c_str());
    if (parse_sim_options((int)argv.size(), argv.data(), &command.board) != SIM_OPTIONS_OK)
        command.kind = CONTROL_BAD;
    return command;
}
