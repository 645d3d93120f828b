// What one board's update or check came to: the fields its record embeds and
// its summary line and row show.
#pragma once

#include "outcome.h"

#include <cstdint>
#include <string>

struct job_result {
    outcome_id outcome = OUTCOME_RUNNING;
    std::string message; // why it ended, or the warning, when not plainly updated
    int32_t blocks_acknowledged = 0;
    int32_t blocks_refused = 0;
    int32_t blocks_total = 0;
    int32_t resends = 0;
    double seconds = 0;
    int32_t blocks_skipped = 0; // --skip-unchanged: held by the target already, not written
};
