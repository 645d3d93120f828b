#include "update_link.h"

const char *link_state_name(int32_t state)
{
    switch (state) {
    case STATE_START: return "STATE_START";
    case STATE_INIT: return "STATE_INIT";
    case STATE_CONTACT: return "STATE_CONTACT";
    case STATE_PROGRAM: return "STATE_PROGRAM";
    case STATE_VERIFY: return "STATE_VERIFY";
    case STATE_FAILED: return "STATE_FAILED";
    case STATE_RESET: return "STATE_RESET";
    case STATE_DONE: return "STATE_DONE";
    case STATE_LINKED: return "STATE_LINKED";
    case STATE_COMPARE: return "STATE_COMPARE";
    default: return "unknown state";
    }
}
