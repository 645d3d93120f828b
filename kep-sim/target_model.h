// The simulated target: its flash and how it answers each request. Pure: a
// request goes in, the reply to send (if any), when, and what follows come out.
#pragma once

#include "fault_switches.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define SIM_FLASH_BASE 0x08000000u
// The part without --flash-kib; --flash-kib takes 4 KiB to 2 MiB.
#define SIM_FLASH_SIZE (128u * 1024u)
#define SIM_FLASH_END (SIM_FLASH_BASE + SIM_FLASH_SIZE)
#define SIM_FLASH_KIB_MAX 2048
// The bootloader's own 2 KiB at the bottom of flash cannot be written.
#define SIM_WRITABLE_BASE 0x08000800u
#define SIM_UNIT_ADDRESS 4
#define SIM_BLOCK_SIZE 1024

#define EXCEPTION_ILLEGAL_FUNCTION 0x01
#define EXCEPTION_ILLEGAL_ADDRESS 0x02
#define EXCEPTION_ILLEGAL_VALUE 0x03

// What a board runs once it has been reset: its bootloader again (the update
// can be repeated), or its application, which answers everything with an
// exception.
enum after_reset_mode {
    AFTER_RESET_BOOTLOADER = 0,
    AFTER_RESET_APPLICATION = 1,
};

struct target_model {
    bool board_present;  // false: a fixture with no board, the line is silent
    bool in_application; // reset into its application: exception 0x01 to all
    bool frozen;         // hung after --freeze-after's block: reads on, answers nothing
    after_reset_mode after_reset;
    std::vector<uint8_t> flash; // the whole part's flash from SIM_FLASH_BASE
    uint32_t written_end;       // one past the highest byte written; 0: none yet
    fault_switches faults;
    int32_t flash_ms;                 // programming time per block
    int32_t contact_queries;          // contact queries seen so far
    int32_t verify_queries;           // verify queries seen so far
    int32_t resets;                   // reset requests seen so far
    std::vector<int32_t> block_sends; // program requests seen, per block index
    // The line's, kept across boards: each reply up to this much later at
    // random (0: none); the state seeds the next draw, a number keeps the record plain.
    int32_t reply_jitter_ms = 0;
    uint32_t jitter_state = 0;
};

enum after_reply {
    AFTER_NOTHING = 0,
    AFTER_RESET = 1,        // the reset request was answered
    AFTER_HANG_UP = 2,      // close the line, as an unplugged adapter would
    AFTER_STOP_READING = 3, // read nothing more from the line
    AFTER_RESTART = 4,      // reset without answering: the line goes away
};

struct reply_plan {
    std::vector<uint8_t> bytes; // empty: no reply
    int32_t delay_ms;           // before the reply may start
    size_t split_at;            // 0: in one piece; else bytes before the pause
    int32_t split_gap_ms;
    int32_t copies; // 1, or 2 for a duplicated reply
    after_reply after;
    std::vector<std::string> notes; // what happened, for the log
};

// A blank board (flash erased to 0xFF) in its bootloader, reset into its
// bootloader again.
void target_init(target_model *target, const fault_switches *faults, int32_t flash_ms);

// A fixture: a new blank board placed on the line, in its bootloader, with
// these switches; and the board taken off, after which requests get no reply.
void target_insert_board(target_model *target, const fault_switches *faults, int32_t flash_ms,
                         after_reset_mode after_reset);
void target_remove_board(target_model *target);

// Handles one complete frame as received; frames with a wrong CRC or another
// unit's address get no reply, as on a Modbus RTU line.
reply_plan target_handle_request(target_model *target, const uint8_t *request, size_t length);

// From now on each reply waits a random 0 to `max_ms` ms more, drawn from
// `seed`: the same seed, the same delays.
void target_set_jitter(target_model *target, int32_t max_ms, uint32_t seed);

// KiB of flash of the part that `faults` describe.
uint32_t part_flash_kib(const fault_switches *faults);

// Puts `bytes` into the flash from SIM_WRITABLE_BASE, as an earlier update
// would have left them. False when they do not fit.
bool target_preload(target_model *target, const std::vector<uint8_t> &bytes);

// The flash from SIM_WRITABLE_BASE up to the last byte ever written.
std::vector<uint8_t> target_written_flash(const target_model *target);

// The whole flash from SIM_WRITABLE_BASE to the part's end, written or not.
std::vector<uint8_t> target_board_flash(const target_model *target);

// 1-based block number of a program address (0 below the writable base).
int32_t block_number(uint32_t address);
