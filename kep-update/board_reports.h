// Where one board's trace and status texts go: through to standard output as
// they come (one port, no live area), or whole lines only, each starting with
// the port's name when several ports share the output, so that lines of
// several boards never mix within a line and the live area is never drawn
// into one. A station's probe holds its trace back until it has found a board.
#pragma once

#include <string>

struct live_view;

struct board_reports {
    live_view *view = nullptr;
    std::string prefix;       // "port: " before each line, or empty
    bool through = false;     // text goes out as it comes
    bool status_lines = true; // status texts as lines on standard error
    bool holding = false;     // a probe: trace held back, no status lines
    std::string held;         // what a probe has traced so far
    std::string partial_line; // trace text waiting for its line end
    bool line_open = false;   // the last text written did not end a line
};

void reports_trace(board_reports *reports, const char *text, size_t length);
void reports_flush(board_reports *reports);
void reports_status(board_reports *reports, const std::string &text);

// A probe's held-back trace, written out as the board's own (a probe that
// found nothing new is dropped with its job).
void reports_release(board_reports *reports);

// A line cut short by the end of a run still gets out whole.
void reports_close_line(board_reports *reports);
