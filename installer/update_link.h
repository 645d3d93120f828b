// The link record: everything about one running update, shared by the
// window (or command line), the serial port and the update engine.
#pragma once

#include "serial/port_handle.h"

#include <cstdint>

#define MODBUS_PROG_BLOCKSIZE_MAX 1024
#define MODBUS_FRAME_LENGTH_MAX 1040
#define UNIT_ADDRESS 4
#define FLASH_IMAGE_BASE 0x08000800u

enum link_state : int32_t {
    STATE_START = 0,   // port just opened
    STATE_INIT = 1,    // progress fields initialised
    STATE_CONTACT = 2, // contact request sent, waiting for any valid reply
    STATE_PROGRAM = 3, // program-block request sent, waiting for its ack
    STATE_VERIFY = 4,  // verify request sent, waiting for the target's CRC
    STATE_FAILED = 5,  // CRCs differed; nothing more happens
    STATE_RESET = 6,   // reset request sent, waiting for its ack
    STATE_DONE = 7,    // update complete
    STATE_LINKED = 8,  // contact answered, held for the front end (`hold_when_linked`)
    STATE_COMPARE = 9, // `skip_unchanged`: the target's CRC of a half of the next block asked
};

struct update_link {
    const char *port_name; // device name of the selected port
    port_handle handle;    // the open port, INVALID_PORT_HANDLE when none
    int32_t baud;
    int32_t unit_address; // low 8 bits are byte 0 of every request
    int32_t error;        // 5 once a received frame failed its CRC; never cleared
    int32_t len;          // valid bytes in `frame`
    int32_t capacity;     // size of `frame`, also the byte count of every read
    uint8_t *frame;       // one buffer for the request sent and the reply read
    int32_t state;        // a link_state
    uint8_t *image;       // the padded firmware image
    uint32_t flash_base;  // target address of image byte 0
    int32_t offset;       // image bytes acknowledged so far
    int32_t image_size;   // padded length, a multiple of 1024
    int32_t block_length; // data bytes in the next program-block request
    uint32_t sent_at;     // tick count taken just before the last request
    uint32_t timeout_ms;  // reply time-out: 100 contacting, 500 once linked
    bool check_only;      // compare the target's range CRC with the image: no write, no reset
    // Stop in STATE_LINKED once contact is answered, with the reply still in
    // `frame`: the front end looks at it (and takes a serial number, say)
    // before it enters the next state itself.
    bool hold_when_linked;
    // A front end that follows boards on a fixture: only a reply that answers
    // the request just sent is taken (a late ack is never a contact answer).
    bool answers_only;
    // The contact request is re-sent every PROMPT_CONTACT_RESEND_MS without
    // the dialog's pause, each read waiting only until the next is due.
    bool prompt_contact;
    // Before each block, ask the target's CRC of its two halves and leave the
    // block out when both equal the image's.
    bool skip_unchanged;
    int32_t compare_half;    // STATE_COMPARE: the half asked, 0 or 1
    int32_t differing_run;   // blocks asked in a row that differed
    int32_t compare_from;    // the next offset whose block is asked; below it blocks are written
                             // (INT32_MAX: the target refused a question, ask no more)
    uint8_t request_head[13]; // the first bytes of the request just sent: what a reply echoes
    int32_t request_length;
    int32_t blocks_acked;   // program-block replies taken since STATE_INIT
    int32_t blocks_refused; // of those, exceptions
    int32_t blocks_skipped; // left out since STATE_INIT: the target held them already
};

// The name of a link state ("STATE_PROGRAM"), or "unknown state".
const char *link_state_name(int32_t state);
