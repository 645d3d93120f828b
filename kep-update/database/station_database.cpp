#include "database/station_database.h"

#include "board_record.h"
#include "database/connection_text.h"
#include "database/outbox.h"
#include "database/schema.h"
#include "outcome.h"

#include <cstdio>

// "2026-12-06 23:59:01.123", the stamp as both servers read a time (UTC).
static std::string sql_time(int64_t unix_ms)
{
    std::string text = stamp_text(unix_ms);
    text[10] = ' ';
    text.pop_back();
    return text;
}

static const char *time_type(const db_link *link)
{
    return link->postgresql ? "TIMESTAMP" : "DATETIME2";
}

// Opens `link` when it is not; after a lost connection, the next use opens it anew.
static bool linked(station_database *db, db_link *link, db_error *error)
{
    return link->connected || db_open(link, db->connection, error);
}

static void drop_if_lost(db_link *link, const db_error &error)
{
    if (db_error_is_connection(error))
        db_close(link);
}

bool database_open(station_database *db, bool numbers, std::string *why)
{
    db->server = connection_server(db->connection);
    db_error error;
    if (!db_open(&db->records, db->connection, &error)) {
        *why = "the database at " + db->server + " cannot be reached: " + db_error_text(error);
        return false;
    }
    std::string missing = schema_missing(&db->records, numbers ? db->pool : "", &error);
    if (!missing.empty()) {
        *why = "the database at " + db->server + " will not do: " + missing;
        return false;
    }
    // The numbers' own connection, so that a take never waits behind a record.
    if (numbers && !db_open(&db->numbers, db->connection, &error)) {
        *why = "the database at " + db->server + " cannot be reached: " + db_error_text(error);
        return false;
    }
    return true;
}

// --- Serial numbers -------------------------------------------------------

static std::string away(const station_database *db, const db_error &error)
{
    return "no serial number: the database at " + db->server + " does not answer (" +
           db_error_text(error) + ")";
}

// A statement of the transaction failed: it is rolled back, and the server
// is waited for when it is away.
static serial_taken refused_or_away(station_database *db, const db_error &error,
                                    const char *what, std::string *why)
{
    db_rollback(&db->numbers);
    if (db_error_is_connection(error)) {
        db_close(&db->numbers);
        *why = away(db, error);
        return SERIAL_WAITING;
    }
    *why = "no serial number: " + std::string(what) + " at " + db->server + " refused it (" +
           db_error_text(error) + ")";
    return SERIAL_REFUSED;
}

// The number the ledger gave `record_id`, if its transaction committed.
static bool issued_to(station_database *db, const std::string &record_id, bool *found,
                      uint64_t *number, db_error *error)
{
    db_rows rows;
    bool asked = db_run(&db->numbers,
                        "SELECT serial_number FROM kep_serial_issued WHERE record_id = ?",
                        {db_text(record_id)}, &rows, nullptr, error);
    db_rollback(&db->numbers);
    *found = asked && !rows.empty();
    if (*found)
        *number = strtoull(rows[0][0].c_str(), nullptr, 10);
    return asked;
}

// One transaction: the pool advanced, the number read back, the ledger's
// row written. The pool's row stays locked until the commit, so two
// stations never read the same number.
static serial_taken take_in_transaction(station_database *db, const serial_request &request,
                                        uint64_t *number, std::string *why)
{
    db_link *link = &db->numbers;
    db_error error;
    int64_t changed = 0;
    db_rows rows;
    if (!db_run(link,
                "UPDATE kep_serial_pool SET next_serial = next_serial + 1 WHERE pool_name = ?",
                {db_text(db->pool)}, nullptr, &changed, &error) ||
        (changed == 1 && !db_run(link, "SELECT next_serial - 1 FROM kep_serial_pool WHERE "
                                       "pool_name = ?",
                                 {db_text(db->pool)}, &rows, nullptr, &error)))
        return refused_or_away(db, error, "the database", why);
    if (rows.empty()) {
        db_rollback(link);
        *why = "no serial number: the database at " + db->server + " has no serial number pool " +
               db->pool;
        return SERIAL_REFUSED;
    }
    uint64_t next = strtoull(rows[0][0].c_str(), nullptr, 10);
    std::string misfit = serial_number_misfit(*db->serial, next, "pool " + db->pool);
    if (!misfit.empty()) {
        db_rollback(link);
        *why = misfit;
        return SERIAL_REFUSED;
    }
    std::string insert =
        std::string("INSERT INTO kep_serial_issued (pool_name, serial_number, station, port, slot, "
                    "record_id, issued_at) VALUES (?, ?, ?, ?, ?, ?, CAST(? AS ") +
        time_type(link) + "))";
    if (!db_run(link, insert,
                {db_text(db->pool), db_integer((int64_t)next), db_text(db->station),
                 db_text(request.port), db_text(request.slot), db_text(request.record_id),
                 db_text(sql_time(wall_clock_ms()))},
                nullptr, nullptr, &error))
        return refused_or_away(db, error, "the ledger", why);
    if (!db_commit(link, &error)) {
        // Committed or not, the answer was lost: only the ledger can tell.
        db->in_doubt.insert(request.record_id);
        db_close(link);
        *why = away(db, error);
        return SERIAL_WAITING;
    }
    *number = next;
    return SERIAL_TAKEN;
}

static serial_taken take_once(station_database *db, const serial_request &request,
                              uint64_t *number, std::string *why)
{
    db_error error;
    if (!linked(db, &db->numbers, &error)) {
        *why = away(db, error);
        return SERIAL_WAITING;
    }
    if (db->in_doubt.count(request.record_id)) {
        bool found = false;
        if (!issued_to(db, request.record_id, &found, number, &error)) {
            drop_if_lost(&db->numbers, error);
            *why = away(db, error);
            return SERIAL_WAITING;
        }
        db->in_doubt.erase(request.record_id);
        if (found)
            return SERIAL_TAKEN; // it had committed: the number is this board's
    }
    return take_in_transaction(db, request, number, why);
}

static serial_taken take_from_database(void *context, const serial_request &request,
                                       uint64_t *number, std::string *why)
{
    station_database *db = (station_database *)context;
    std::lock_guard<std::mutex> hold(db->numbers_mutex);
    bool was_connected = db->numbers.connected;
    serial_taken taken = take_once(db, request, number, why);
    // A connection that died while the station was idle (a server restarted
    // meanwhile) is found only now: a new one is tried at once.
    if (taken == SERIAL_WAITING && was_connected && !db->numbers.connected)
        taken = take_once(db, request, number, why);
    return taken;
}

serial_source database_serial_source(station_database *db) { return {db, take_from_database}; }

// --- Records ----------------------------------------------------------------

static outbox_sent insert_record(station_database *db, const std::string &line)
{
    board_record r;
    if (!record_from_line(line, &r) || r.record_id.empty())
        return OUTBOX_REFUSED;
    db_link *link = &db->records;
    db_error error;
    if (!linked(db, link, &error))
        return OUTBOX_AWAY;
    std::string type = time_type(link);
    std::string insert =
        "INSERT INTO kep_board_record (record_id, station, slot, port, lot, operator_name, "
        "serial_number, operation, outcome, exit_status, started, ended, image_sha256, message, "
        "record_json) VALUES (?, ?, ?, ?, ?, ?, CAST(? AS BIGINT), ?, ?, ?, CAST(? AS " +
        type + "), CAST(? AS " + type + "), ?, ?, ?)";
    std::string json = line.substr(0, line.size() - 1);
    bool stored =
        db_run(link, insert,
               {db_text(r.record_id), db_text(r.origin.station), db_text(r.slot), db_text(r.port),
                db_text(r.origin.lot), db_text(r.origin.operator_name),
                r.numbered ? db_integer((int64_t)r.serial_number) : db_param{},
                db_text(r.check ? "check" : "update"),
                db_text(outcome_words(r.result.outcome, r.check)),
                db_integer(outcome_status(r.result.outcome)), db_text(sql_time(r.started_ms)),
                db_text(sql_time(r.ended_ms)), db_text(r.image.sha256),
                db_text(r.result.message), db_text(json)},
               nullptr, nullptr, &error) &&
        db_commit(link, &error);
    if (stored)
        return OUTBOX_STORED;
    db_rollback(link);
    if (db_error_is_duplicate(error))
        return OUTBOX_STORED; // sent before, its answer lost
    drop_if_lost(link, error);
    return db_error_is_connection(error) ? OUTBOX_AWAY : OUTBOX_REFUSED;
}

static void send_outbox(station_database *db)
{
    std::lock_guard<std::mutex> hold(db->records_mutex);
    std::string why;
    int left = outbox_send(
        db->outbox, [db](const std::string &line) { return insert_record(db, line); }, &why);
    if (left >= 0)
        db->waiting = left;
}

static void sending(station_database *db)
{
    std::unique_lock<std::mutex> hold(db->wake_mutex);
    while (!db->ending) {
        hold.unlock();
        send_outbox(db);
        hold.lock();
        if (!db->ending)
            db->wake.wait_for(hold, std::chrono::milliseconds(OUTBOX_RETRY_MS));
    }
}

void database_start_sending(station_database *db)
{
    db->sender = std::thread(sending, db);
}

void database_close(station_database *db, int *left)
{
    {
        std::lock_guard<std::mutex> hold(db->wake_mutex);
        db->ending = true;
    }
    db->wake.notify_all();
    if (db->sender.joinable())
        db->sender.join();
    send_outbox(db);
    *left = db->waiting;
    db_close(&db->records);
    db_close(&db->numbers);
}

static bool write_record(void *context, const board_record &record, std::string *why)
{
    station_database *db = (station_database *)context;
    std::string line = record_line(record);
    if (db->report) {
        std::lock_guard<std::mutex> hold(db->report->mutex);
        if (!record_file_append(&db->report->file, line, why))
            return false;
    }
    if (!outbox_add(db->outbox, line, why))
        return false;
    db->waiting++;
    db->wake.notify_all();
    return true;
}

static int records_waiting(void *context) { return ((station_database *)context)->waiting; }

record_sink database_record_sink(station_database *db)
{
    return {db, write_record, records_waiting};
}

int database_init(const std::string &connection, const std::string &pool, uint64_t start)
{
    db_link link;
    db_error error;
    std::string server = connection_server(connection), said;
    if (!db_open(&link, connection, &error)) {
        fprintf(stderr, "kep-update: the database at %s cannot be reached: %s\n", server.c_str(),
                db_error_text(error).c_str());
        return EXIT_USAGE;
    }
    bool made = schema_create(&link, pool, start, &said, &error);
    db_close(&link);
    if (!made) {
        fprintf(stderr, "kep-update: the database at %s: the tables could not be made: %s\n",
                server.c_str(), db_error_text(error).c_str());
        return EXIT_USAGE;
    }
    printf("kep-update: the database at %s: %s\n", server.c_str(), said.c_str());
    return EXIT_UPDATED;
}
