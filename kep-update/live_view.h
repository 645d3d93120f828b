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

struct live_view {
    bool area = false;        // standard error is a live terminal: the area is drawn
    bool trace_above = false; // standard output is that terminal too
    std::mutex lock;          // one writer at a time
    std::vector<std::string> lines; // the area as last drawn
    int lines_drawn = 0;
    bool out_broken = false, err_broken = false;
};

// Sets the view up for this process's standard output and error; `live`:
// a live area is wanted (not --quiet).
void view_open(live_view *view, bool live);

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

// Replaces the area with `lines` (each at most view_width() columns).
void view_draw(live_view *view, const std::vector<std::string> &lines);

// Leaves the last drawing on screen and moves below it.
void view_close(live_view *view);
