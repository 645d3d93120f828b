// kep-update's command line in-process: each refusal word for word, what
// the words that pass give, and the slot names' globs.
#include "cli_options.h"
#include "slot_names.h"

#include <gmock/gmock.h>

namespace
{

// The status and standard error of parsing `words` after the program's name.
int parse(std::vector<std::string> words, cli_options *options, std::string *err)
{
    words.insert(words.begin(), "kep-update");
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    testing::internal::CaptureStderr();
    int status = parse_cli_options((int)argv.size(), argv.data(), options);
    *err = testing::internal::GetCapturedStderr();
    return status;
}

TEST(CliOptions, EveryMisuseIsRefusedWithItsCause)
{
    const std::string serial = "--serial-number", file = "--serial-file", watch = "--watch";
    const std::string empty_port = "--port needs a port name, not an empty one (see --help)";
    const std::string slot = "--slot-name takes PATTERN=NAME, a port pattern and the slot's name, "
                             "not \"";
    const std::string together = "--serial-number ADDRESS and --serial-file FILE (or --database) go together";
    // clang-format off
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "unknown option \"--bogus\" (see --help)"},
        {{}, "name the target's port with --port (see --help)"},
        {{"--port", "p", "app.bin"}, "\"app.bin\" belongs to no option: give one port per --port "
         "(or a comma list), an image with --image (see --help)"},
        {{"--port", "a,b", "-p", "a"}, "port a is named more than once"},
        {{"--port", ""}, empty_port}, {{"--port", "a,,b"}, empty_port}, {{"--port", "a,"}, empty_port},
        {{"-p", ",a"}, empty_port}, {{"--port=", "a"}, empty_port}, {{"--port", "a", "--port", ""}, empty_port},
        {{"--port"}, "--port needs a value (see --help)"},
        {{"--port", "a", "-i", "x", "--image=y"}, "--image is given more than once (see --help)"},
        {{watch, "--check", "-w"}, "--watch is given more than once (see --help)"},
        {{"-p", "a", "-qq"}, "--quiet is given more than once (see --help)"},
        {{"--port", "a", "--lot", "1", "--lot=2"}, "--lot is given more than once (see --help)"},
        {{"--summarize", "a", "b", "--summarize", "c"}, "--summarize is given more than once (see --help)"},
        {{"--port", "a", "--station", ""}, "--station needs a value, not an empty one"},
        {{"--port", "a", "--skip-present", "--bell"}, "--bell goes with --watch"},
        {{"--port", "a", "--skip-present"}, "--skip-present goes with --watch"},
        {{"--port", "a", "--slot-name", "a=A1"}, "--slot-name goes with --watch"},
        {{watch, "--slot-name", "A1"}, slot + "A1\""},
        {{watch, "--slot-name", "=A1"}, slot + "=A1\""},
        {{watch, "--slot-name", "COM7="}, slot + "COM7=\""},
        {{"--port", "a", file, "f"}, together},
        {{"--port", "a", serial, "1", file, "f", "--database", "DSN=x"},
         "--serial-file and --database both hand out serial numbers: give one of them"},
        {{"--init-database"}, "--init-database goes with --database, and with no port, --watch or --summarize"},
        {{"--database", "x", "--init-database", "--port", "a"},
         "--init-database goes with --database, and with no port, --watch or --summarize"},
        {{"--port", "a", "--serial-pool", "p"}, "--serial-pool and --outbox go with --database"},
        {{"--port", "a", "--database", "x", "--serial-pool", ""}, "--serial-pool needs a name, not an empty one"},
        {{"--summarize"}, "--summarize needs report files or --database"},
        {{"--port", "a", "--database", "@/nonexistent"},
         "--database: cannot read the connection string from /nonexistent"},
        {{"--port", "a", "--database"}, "--database needs a connection string, @FILE or KEP_DATABASE"},
        {{"--port", "a", serial, "0x0800F000"}, together},
        {{"--summarize", "r", serial, "0x0800F000"}, together},
        {{"--port", "a", "--check", file, "s"},
         "--check skips a serial number's field only when --serial-number ADDRESS names it"},
        {{"--port", "a", serial, "12abc", file, "f"},
         "--serial-number takes a flash address such as 0x0800F000, not \"12abc\""},
        {{"--port", "a", serial, "0x100000000", file, "f"},
         "--serial-number takes a flash address such as 0x0800F000, not \"0x100000000\""},
        {{"--port", "a", serial, "0x0800F000", file, "f", "--serial-format", "u16le"},
         "--serial-format takes u32le, u32be, u64le or ascii:N (N from 1 to 20), not \"u16le\""},
        {{"--port", "a", serial, "0x0800F000", file, "f", "--serial-start", "-1"},
         "--serial-start takes a whole number, not \"-1\""},
        {{"--port", "a", "--expect-sha256", "abc"},
         "--expect-sha256 takes the 64 hex digits --describe prints, not \"abc\""},
        {{"--port", "a", "--json"}, "--json goes with --summarize"},
        {{"--summarize", "a.jsonl", watch}, "--summarize reads report files and touches no port; give "
         "it without --port, --watch, --check, --describe and --list-ports"},
    };
    // clang-format on
    for (const char *bad : {"soon", "nan", "-1", "86401", "1e-9"})
        cases.push_back({{"--port", "a", "--timeout", bad},
                         "--timeout takes 0 or a number of seconds from 0.001 up to 86400, not \"" +
                             std::string(bad) + "\""});
    for (const auto &[words, why] : cases) {
        cli_options options;
        std::string err;
        EXPECT_EQ(parse(words, &options, &err), 2) << testing::PrintToString(words);
        EXPECT_EQ(err, "kep-update: " + why + "\n");
    }
}

TEST(CliOptions, TheWordsThatPassGiveTheirValues)
{
    cli_options options;
    std::string err;
    ASSERT_EQ(parse({"-p", "a,b", "--port", "c", "--timeout", "0.5", "--expect-sha256",
                     std::string(64, 'A')},
                    &options, &err),
              -1)
        << err;
    EXPECT_EQ(options.ports, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(options.timeout_seconds, 0.5);
    EXPECT_EQ(options.expect_sha256, std::string(64, 'a'));
    options = {};
    ASSERT_EQ(parse({"-w", "--slot-name", "*1.1:*=A1", "--slot-name", "x=y=B2"}, &options, &err),
              -1)
        << err;
    ASSERT_EQ(options.slot_names.size(), 2u);
    EXPECT_EQ(options.slot_names[1].pattern + " " + options.slot_names[1].name, "x=y B2");
    // A summary reads the serial file's ledger; it takes no number.
    options = {};
    ASSERT_EQ(parse({"--summarize", "r1", "r2", "--serial-file", "next"}, &options, &err), -1)
        << err;
    EXPECT_EQ(options.summarize, (std::vector<std::string>{"r1", "r2"}));
    EXPECT_EQ(options.serial.file, "next");
    EXPECT_FALSE(options.serial.used);
    // A station's line with --describe shows what it would write.
    options = {};
    EXPECT_EQ(parse({"--describe", "--bell", "--skip-present"}, &options, &err), -1) << err;
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse({"--version"}, &options, &err), 0);
    EXPECT_THAT(testing::internal::GetCapturedStdout(), testing::StartsWith("kep-update "));
}

TEST(SlotNames, TheFirstRuleWhoseGlobMatchesNamesThePort)
{
    const std::string hub = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0";
    // clang-format off
    const std::tuple<const char *, std::string, bool> globs[] = {
        {"*usb-0:1.1:*", hub, true}, {"*usb-0:1.1:*", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.12:1.0-port0", false},
        {"COM*", "com7", true}, {"COM?", "COM12", false}, {"COM??", "COM12", true}, {"?", "", false},
        {"", "", true}, {"", "a", false}, {"*", "", true}, {"a*b*c", "aXbYc", true}, {"a*b*c", "aXbYcd", false},
        {"**c", "abc", true}, {"*a*a*a*a*a*a*a*a*b", std::string(60, 'a'), false},
    };
    // clang-format on
    for (const auto &[pattern, text, expected] : globs)
        EXPECT_EQ(glob_match(pattern, text), expected) << pattern << " " << text;
    const std::vector<slot_name_rule> rules = {{"*1.1:*", "A1"}, {"*usb-0:1.*", "row 1"}};
    EXPECT_EQ(slot_name_for(rules, hub), "A1");
    EXPECT_EQ(slot_name_for(rules, "/dev/serial/by-path/x-usb-0:1.2:1.0"), "row 1");
    EXPECT_EQ(slot_name_for(rules, "/dev/ttyUSB0"), "");
}

} // namespace
