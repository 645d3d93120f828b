#include "station_job.h"

#include <cstdio>

void run_station_job(port_job *job, const station_context *context, station_result *result)
{
    result->usb = port_usb_identity(job->port_name);
    job->check_only = context->check;
    result->started_ms = wall_clock_ms();
    run_port_job(job, context->image, context->image_size, context->limits);
    result->ended_ms = wall_clock_ms();
    if (context->report) {
        report_record record = job_record(job, context, result);
        std::string why;
        result->recorded = report_append(context->report, format_report_record(&record), &why);
        if (!result->recorded)
            fprintf(stderr, "kep-update: %s: its record could not be written to the report: %s\n",
                    job->port_name.c_str(), why.c_str());
    }
}

const char *job_result_text(const port_job *job)
{
    if (job->check_only && job->outcome == JOB_UPDATED)
        return "equal";
    if (job->check_only && job->outcome == JOB_VERIFY_FAILED)
        return "differs";
    return job_outcome_text(job->outcome);
}

report_record job_record(const port_job *job, const station_context *context,
                         const station_result *result)
{
    report_record record;
    record.started_ms = result->started_ms;
    record.ended_ms = result->ended_ms;
    record.port = job->port_name;
    record.usb = result->usb;
    record.image = context->image_id;
    record.check = job->check_only;
    record.outcome = job_result_text(job);
    record.exit_status = (int)job_exit_status(job);
    record.blocks_acknowledged = job->link.offset / MODBUS_PROG_BLOCKSIZE_MAX;
    record.blocks_total = context->image_size / MODBUS_PROG_BLOCKSIZE_MAX;
    record.resends = job->link.resends;
    record.seconds = (job->ended_ms - job->started_ms) / 1000.0;
    record.message = job->message;
    return record;
}
