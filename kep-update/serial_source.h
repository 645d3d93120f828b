// Where a board's serial number comes from: one small table of operations,
// so that the board job never knows whether a file or a database hands the
// numbers out. The locked serial file is the first source.
#pragma once

#include "serial_number.h"

#include <cstdint>
#include <string>

// Who a number is for: the board on `port` (in watch slot `slot`, empty when
// none) whose record will carry `record_id`.
struct serial_request {
    std::string port, slot, record_id;
};

enum serial_taken {
    SERIAL_TAKEN,
    SERIAL_REFUSED, // none is handed out; `why` says why
    SERIAL_WAITING, // the source is away for now (`why`): ask again later
};

struct serial_source {
    void *context;
    // The number for the board `request` names; never the same twice.
    serial_taken (*take)(void *context, const serial_request &request, uint64_t *number,
                         std::string *why);
};

// Takes through `source`; a null source hands out nothing (refused).
serial_taken serial_take(const serial_source *source, const serial_request &request,
                         uint64_t *number, std::string *why);

// One number taken, as the ledger beside the serial file lists it: one JSON
// object a line, {"serial_number":N,"station":...,"port":...,"slot":...,"taken":"<stamp>"}
// (empty texts null).
struct ledger_entry {
    uint64_t serial_number = 0;
    std::string station, port, slot;
    int64_t taken_ms = 0; // wall clock, milliseconds since 1970 (UTC)
};

std::string ledger_line(const ledger_entry &entry);                  // line end included
bool ledger_from_line(const std::string &line, ledger_entry *entry); // false: not an entry

// serial.file + ".ledger"
std::string ledger_path(const serial_settings &serial);

struct serial_file_source {
    const serial_settings *serial = nullptr;
    std::string station; // the ledger's station for every number taken
};

// Under a lock on serial.file + ".lock", shared by the threads and processes
// of every station using the file:
//  1. the next number is the file's, but never below the ledger's highest + 1;
//  2. it is appended to the ledger and synced;
//  3. the file is durably replaced by the number after it;
//  4. only then is it handed out.
// A crash before 2 changes nothing; after 2, the ledger lists a number that
// no board may get (burnt), and the next take goes past it whether or not
// the file advanced. So no number is handed out twice, and every number a
// board may carry is in the ledger. A failed step hands nothing out, and
// `why` says whether a number was burnt.
serial_source file_serial_source(serial_file_source *file);
