#include "fake_os.h"
#include "reporting.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

using testing::HasSubstr;

namespace
{

const std::string heading = "\n\nAn Error has occurred as follows:\n";
const std::string closing = "\n\n The program will now abort\n\n\n";

TEST(FatalMessage, WithoutASystemErrorHasExactlyThreePieces)
{
    char message[FATAL_MESSAGE_SIZE];
    int length = compose_fatal_message(message, sizeof message, "Could not create dialog", 0,
                                       "must not appear");
    EXPECT_EQ(std::string(message), heading + "          Could not create dialog\n" + closing);
    EXPECT_EQ(length, (int)std::string(message).size());
}

TEST(FatalMessage, WithASystemErrorAddsTheNumberAndTheSystemText)
{
    char message[FATAL_MESSAGE_SIZE];
    compose_fatal_message(message, sizeof message,
                          "Unable to open serial port. In use already, or not present", 2,
                          "The system cannot find the file specified.\r\n");
    EXPECT_EQ(std::string(message),
              heading + "          Unable to open serial port. In use already, or not present\n" +
                  "Error number 2 reported\nThe system cannot find the file specified.\r\n" +
                  closing);
}

TEST(FatalMessage, OverlongTextsAreCutButTheClosingBlockAlwaysFits)
{
    char message[FATAL_MESSAGE_SIZE];
    std::string system_text(5000, 'x');
    int length = compose_fatal_message(message, sizeof message, "port", 5, system_text.c_str());
    std::string text(message);
    EXPECT_EQ(length, (int)text.size());
    EXPECT_EQ(length, FATAL_MESSAGE_SIZE - 1);
    EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
    EXPECT_THAT(text, HasSubstr("Error number 5 reported\nxxx"));

    std::string huge(3000, 'y'); // even the caller's own text cannot push it out
    compose_fatal_message(message, sizeof message, huge.c_str(), 0, nullptr);
    text = message;
    EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
    EXPECT_LT(text.size(), (size_t)FATAL_MESSAGE_SIZE);
}

TEST(StatusLine, IsFormattedAndBoundedToTheBuffer)
{
    captured_reports reports;
    status_printf("programming %#x", 0x8000800);
    status_printf("%s", std::string(300, 'z').c_str());
    ASSERT_EQ(reports.status.size(), 2u);
    EXPECT_EQ(reports.status[0], "programming 0x8000800");
    EXPECT_EQ(reports.status[1], std::string(STATUS_BUFFER_SIZE - 1, 'z'));
    EXPECT_EQ(std::string(status_text()), reports.status[1]);
}

TEST(TraceLog, FormatsAndKeepsLongLinesWhole)
{
    captured_reports reports;
    trace_printf("PROG ADDR %#x, LEN %#x, FROM %#x...", 0x8000800u, 0x400u, 0u);
    std::string long_line(2000, 'r');
    trace_printf("%s\n", long_line.c_str());
    EXPECT_EQ(reports.trace, "PROG ADDR 0x8000800, LEN 0x400, FROM 0..." + long_line + "\n");
}

TEST(TraceLog, WithoutARouteTheStatusGoesToThePlatformDisplay)
{
    fake_reset();
    status_printf(" - Idle - ");
    EXPECT_EQ(fake.shown_status, std::vector<std::string>{" - Idle - "});
}

} // namespace
