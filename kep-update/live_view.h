// Everything kep-update writes while targets run, and the live area: on a
// terminal, one line per running target (and the station's tally) redrawn in
// place below the trace and the scroll-back lines, which always print whole
// above it. An output that can no longer be written (a closed pipe or
// terminal) is dropped, said once on the other if it still works, and never
// stops an update.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

enum view_colour { COLOUR_NONE, COLOUR_PASS, COLOUR_FAIL };

struct view_line {
    std::string text;
    view_colour colour = COLOUR_NONE;
};

struct live_view {
    bool area = false;        // standard error is a live terminal: the area is drawn
    bool trace_above = false; // standard output is that terminal too
    bool trace_dropped = false; // a station's terminal shows its slots, not the trace
    bool colour = false;      // PASS green, FAILED red
    std::mutex lock;          // one writer at a time
    std::vector<view_line> lines; // the area as last drawn
    int lines_drawn = 0;
    bool out_broken = false, err_broken = false;
};

// Sets the view up for this process's standard output and error; `live`:
// a live area is wanted (not --quiet); `station`: a watch, whose trace stays
// off a terminal that shows the area (it still goes to a file or pipe).
// Colour unless NO_COLOR is set.
void view_open(live_view *view, bool live, bool station);

bool view_has_area(const live_view *view);

// Columns an area line may take: one short of the terminal's width, which
// is read anew each time, so a resize takes effect at the next drawing.
int view_width(const live_view *view);

// Trace text: whole lines on standard output (above the area), or any text
// written straight through when there is no area.
void view_trace_line(live_view *view, const std::string &lines);
void view_trace_through(live_view *view, const char *text, size_t length);
void view_trace_flush(live_view *view);

// Lines for standard error, above the area.
void view_note(live_view *view, const std::string &lines);

// Replaces the area with `lines` (each cut to view_width() columns).
void view_draw(live_view *view, const std::vector<view_line> &lines);

// Rings the terminal's bell, when the area is on one.
void view_bell(live_view *view);

// Leaves the last drawing on screen and moves below it.
void view_close(live_view *view);
