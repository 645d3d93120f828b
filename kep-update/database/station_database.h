// A station's share of the line's database: serial numbers from a pool,
// each listed in the ledger in the transaction that takes it, and every
// board's record, sent through the local outbox so that none is lost while
// the server is away. Offered to the runner as a serial source and a record
// sink, like the files.
#pragma once

#include "database/odbc_link.h"
#include "record_sink.h"
#include "serial_number.h"
#include "serial_source.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#define OUTBOX_RETRY_MS 1000u // the outbox is sent again this often while records wait

struct station_database {
    std::string connection; // holds the password: never shown
    std::string server;     // "server 127.0.0.1 port 5432 database kep", for messages
    std::string station, pool;
    const serial_settings *serial = nullptr;

    std::mutex numbers_mutex; // guards the fields below
    db_link numbers;
    std::set<std::string> in_doubt; // record ids whose number's commit may have happened

    std::string outbox;     // its path
    report_file *report = nullptr; // --report, written before the outbox; may be null
    std::mutex records_mutex;      // guards `records`
    db_link records;
    std::atomic<int> waiting{0}; // records in the outbox
    std::thread sender;
    std::mutex wake_mutex;
    std::condition_variable wake;
    bool ending = false; // under wake_mutex
};

// Connects and checks that the tables (and with numbers wanted, the pool)
// are there. False with `why` naming the server, never the password.
bool database_open(station_database *db, bool numbers, std::string *why);

// Starts sending the outbox (what an earlier run left first).
void database_start_sending(station_database *db);

// Stops sending after one last try; `left` says how many records still
// wait in the outbox. Closes the connections.
void database_close(station_database *db, int *left);

// Takes numbers from the pool: waiting while the server is away.
serial_source database_serial_source(station_database *db);

// Stores each record in --report (when given) and the outbox, then sends it;
// false only when the outbox (or --report) cannot be written.
record_sink database_record_sink(station_database *db);

// --init-database: makes the tables and the pool. Returns the exit status,
// having said what was done.
int database_init(const std::string &connection, const std::string &pool, uint64_t start);
