#include "fake_os.h"
#include "reporting.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace
{

TEST(FatalMessage, HasItsPiecesAndKeepsTheClosingBlockWhateverTheTexts)
{
    const std::string heading = "\n\nAn Error has occurred as follows:\n          ";
    const std::string closing = "\n\n The program will now abort\n\n\n";
    const std::string long_system(5000, 'x'), long_text(FATAL_MESSAGE_SIZE - 60, 'y'); // just too long
    // Cut texts fill the message up to its last byte.
    auto filled = [&](const std::string &before, char fill) {
        return before + std::string(FATAL_MESSAGE_SIZE - 1 - before.size() - closing.size(), fill) +
               closing;
    };
    const std::tuple<const char *, long, const char *, std::string> cases[] = {
        {"Could not create dialog", 0, "must not appear",
         heading + "Could not create dialog\n" + closing},
        {"port", 5, long_system.c_str(), filled(heading + "port\nError number 5 reported\n", 'x')},
        {long_text.c_str(), 0, nullptr, filled(heading, 'y')},
        {"port", 2, "x", heading + "port\nError number 2 reported\nx" + closing}, // a one-letter piece
    };
    for (const auto &[text, code, system_text, expected] : cases) {
        char message[FATAL_MESSAGE_SIZE];
        EXPECT_EQ(compose_fatal_message(message, sizeof message, text, code, system_text),
                  (int)expected.size());
        EXPECT_EQ(std::string(message), expected);
    }
}

TEST(Reports, SystemTextsLoseLineBreaksAndTheFinalFullStopInsideASentence)
{
    const std::pair<const char *, const char *> cases[] = {
        {"Not ready.\r\n", "Not ready"},
        {"The parameter is incorrect.\r\n\r\n", "The parameter is incorrect"},
        {"A device attached to the system is not functioning.\r\nRetry.\r\n",
         "A device attached to the system is not functioning. Retry"},
        {"Input/output error", "Input/output error"}, {"Spaced . \n", "Spaced"}, {".", ""},
        {"\r\n", ""}, {"\r\nAfter a break.", "After a break"},
    };
    for (const auto &[original, trimmed] : cases) {
        std::string text = original;
        EXPECT_EQ(trim_system_text(text.data()), (int)strlen(trimmed));
        EXPECT_EQ(std::string(text.c_str()), trimmed);
    }
    char untouched[] = "no room.";
    EXPECT_EQ(error_phrase(5, untouched, 0), 0);
    EXPECT_STREQ(untouched, "no room.");
}

TEST(Reports, StatusIsBoundedTraceLinesStayWholeAndWithoutARouteTheStatusIsShown)
{
    {
        captured_reports reports;
        status_printf("programming %#x", 0x8000800);
        status_printf("%s", std::string(300, 'z').c_str());
        EXPECT_EQ(reports.status,
                  (std::vector<std::string>{"programming 0x8000800",
                                            std::string(STATUS_BUFFER_SIZE - 1, 'z')}));
        EXPECT_EQ(std::string(status_text()), reports.status[1]);
        std::string long_line(2000, 'r');
        trace_printf("PROG ADDR %#x, LEN %#x, FROM %#x...", 0x8000800u, 0x400u, 0u);
        trace_printf("%s\n", long_line.c_str());
        EXPECT_EQ(reports.trace, "PROG ADDR 0x8000800, LEN 0x400, FROM 0..." + long_line + "\n");
        link_event resend{LINK_EVENT_RESEND, 0, 0, 0, 0, 0, 0};
        report_event(&resend);
        EXPECT_EQ(reports.resends, 1) << "an event reaches the route";
    }
    fake_reset();
    status_printf(" - Idle - ");
    EXPECT_EQ(fake.shown_status, std::vector<std::string>{" - Idle - "});
    link_event nobody_listens{};
    report_event(&nobody_listens); // the dialog program has no route: nothing happens, no crash
}

} // namespace
