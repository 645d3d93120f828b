#include "record_sink.h"

bool record_sink_write(const record_sink *sink, const board_record &record, std::string *why)
{
    return !sink || sink->write(sink->context, record, why);
}

int record_sink_waiting(const record_sink *sink)
{
    return sink && sink->waiting ? sink->waiting(sink->context) : 0;
}

bool report_open(report_file *report, const std::string &path, std::string *error)
{
    return record_file_open(&report->file, path, error);
}

void report_close(report_file *report) { record_file_close(&report->file); }

static bool write_report_line(void *context, const board_record &record, std::string *why)
{
    report_file *report = (report_file *)context;
    std::string line = record_line(record);
    std::lock_guard<std::mutex> hold(report->mutex);
    return record_file_append(&report->file, line, why);
}

record_sink report_file_sink(report_file *file) { return {file, write_report_line, nullptr}; }
