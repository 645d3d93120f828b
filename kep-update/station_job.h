// One target's update or check as a station runs it: its USB identity, its
// wall-clock times and its record in the report once it ends.
#pragma once

#include "port_job.h"
#include "report_log.h"

#include <cstdint>

struct station_context {
    uint8_t *image; // padded, shared read-only
    int32_t image_size;
    const job_limits *limits;
    bool check;          // compare only: nothing written, no reset
    report_file *report; // nullptr: no --report
    const image_identity *image_id;
};

struct station_result {
    usb_identity usb;
    int64_t started_ms = 0; // wall clock
    int64_t ended_ms = 0;
    bool recorded = true; // false: the report line could not be written
};

// Runs `job` (its port_name, prefix and display fields set) and appends its record.
void run_station_job(port_job *job, const station_context *context, station_result *result);

// "updated", "FAILED", ...; for a check "equal" and "differs" instead.
const char *job_result_text(const port_job *job);

// The record of an ended job.
report_record job_record(const port_job *job, const station_context *context,
                         const station_result *result);
