#include "board_reports.h"

#include "live_view.h"

static void emit(board_reports *r, const char *text, size_t length)
{
    if (length > 0)
        r->line_open = text[length - 1] != '\n';
    if (r->through) {
        view_trace_through(r->view, text, length);
        return;
    }
    r->partial_line.append(text, length);
    size_t end;
    while ((end = r->partial_line.find('\n')) != std::string::npos) {
        view_trace_line(r->view, r->prefix + r->partial_line.substr(0, end + 1));
        r->partial_line.erase(0, end + 1);
    }
}

void reports_trace(board_reports *r, const char *text, size_t length)
{
    if (r->holding)
        r->held.append(text, length);
    else
        emit(r, text, length);
}

void reports_flush(board_reports *r)
{
    if (r->through && !r->holding)
        view_trace_flush(r->view);
}

void reports_status(board_reports *r, const std::string &text)
{
    if (r->status_lines && !r->holding)
        view_note(r->view, r->prefix + text + "\n");
}

void reports_release(board_reports *r)
{
    r->holding = false;
    emit(r, r->held.data(), r->held.size());
    r->held.clear();
}

void reports_close_line(board_reports *r)
{
    if (!r->partial_line.empty() || (r->through && r->line_open))
        emit(r, "\n", 1);
}
