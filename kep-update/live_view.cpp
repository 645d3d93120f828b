#include "live_view.h"

#include "system.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FALLBACK_COLUMNS 80

void view_open(live_view *view, bool live, bool station)
{
    view->area = live && stderr_is_live_terminal();
    view->trace_above = view->area && stdout_is_terminal();
    view->trace_dropped = station && view->trace_above;
    const char *no_colour = getenv("NO_COLOR");
    view->colour = view->area && (!no_colour || !*no_colour);
}

bool view_has_area(const live_view *view) { return view->area; }

int view_width(const live_view *) { return terminal_columns(FALLBACK_COLUMNS) - 1; }

// Writes to one stream; the first failure marks it broken and is said once
// on the other stream, while that one works.
static void emit(live_view *view, FILE *stream, const char *text, size_t length, bool flush)
{
    bool *broken = stream == stdout ? &view->out_broken : &view->err_broken;
    if (*broken)
        return;
    bool ok = fwrite(text, 1, length, stream) == length && (!flush || fflush(stream) == 0);
    if (ok && !ferror(stream))
        return;
    int cause = errno;
    *broken = true;
    FILE *other = stream == stdout ? stderr : stdout;
    bool *other_broken = stream == stdout ? &view->err_broken : &view->out_broken;
    if (*other_broken)
        return;
    fprintf(other, "kep-update: standard %s cannot be written (%s); its text is dropped from "
                   "here on, the updates go on\n",
            stream == stdout ? "output" : "error", strerror(cause));
    if (fflush(other) != 0)
        *other_broken = true;
}

// Back to the start of the area's first line, and everything below cleared.
static void clear_area(live_view *view)
{
    if (view->lines_drawn == 0)
        return;
    std::string out = "\r";
    if (view->lines_drawn > 1)
        out += "\033[" + std::to_string(view->lines_drawn - 1) + "A";
    out += "\033[J";
    emit(view, stderr, out.data(), out.size(), true);
    view->lines_drawn = 0;
}

// The first `width` columns of `text`: a UTF-8 character takes one.
static std::string first_columns(const std::string &text, size_t width)
{
    size_t end = 0;
    for (size_t columns = 0; end < text.size(); end++)
        if (((unsigned char)text[end] & 0xC0) != 0x80 && columns++ == width)
            break;
    return text.substr(0, end);
}

// With the lock held; the cursor stays at the end of the last line.
static void draw_area(live_view *view)
{
    static const char *const colours[] = {"", "\033[32m", "\033[1;31m"};
    std::string out;
    size_t width = (size_t)view_width(view);
    for (size_t i = 0; i < view->lines.size(); i++) {
        const view_line &line = view->lines[i];
        std::string text = first_columns(line.text, width); // a wrapped line would break the redraw
        if (view->colour && line.colour != COLOUR_NONE)
            text = colours[line.colour] + text + "\033[0m";
        out += text;
        if (i + 1 < view->lines.size())
            out += "\n";
    }
    view->lines_drawn = (int)view->lines.size();
    emit(view, stderr, out.data(), out.size(), true);
}

void view_trace_line(live_view *view, const std::string &lines)
{
    std::lock_guard<std::mutex> hold(view->lock);
    if (view->trace_dropped)
        return;
    // Whole lines reach the file at once, so that a kill loses none of them.
    if (!view->trace_above) {
        emit(view, stdout, lines.data(), lines.size(), true);
        return;
    }
    clear_area(view);
    emit(view, stdout, lines.data(), lines.size(), true);
    draw_area(view);
}

void view_trace_through(live_view *view, const char *text, size_t length)
{
    std::lock_guard<std::mutex> hold(view->lock);
    emit(view, stdout, text, length, memchr(text, '\n', length) != nullptr);
}

void view_trace_flush(live_view *view)
{
    std::lock_guard<std::mutex> hold(view->lock);
    emit(view, stdout, "", 0, true);
}

void view_note(live_view *view, const std::string &lines)
{
    std::lock_guard<std::mutex> hold(view->lock);
    if (!view->area) {
        emit(view, stderr, lines.data(), lines.size(), true);
        return;
    }
    clear_area(view);
    emit(view, stderr, lines.data(), lines.size(), true);
    draw_area(view);
}

void view_draw(live_view *view, const std::vector<view_line> &lines)
{
    if (!view->area)
        return;
    std::lock_guard<std::mutex> hold(view->lock);
    clear_area(view);
    view->lines = lines;
    draw_area(view);
}

void view_bell(live_view *view)
{
    if (!view->area)
        return;
    std::lock_guard<std::mutex> hold(view->lock);
    emit(view, stderr, "\a", 1, true);
}

void view_close(live_view *view)
{
    if (!view->area)
        return;
    std::lock_guard<std::mutex> hold(view->lock);
    if (view->lines_drawn > 0)
        emit(view, stderr, "\n", 1, true);
    view->lines.clear();
    view->lines_drawn = 0;
}
