// A throwaway PostgreSQL server for process tests: scripts/throwaway-postgres
// as a child of the test, which the kernel ends if the test dies.
#pragma once

#include "rig.h"

#include <string>

struct throwaway_server {
    std::string dir;        // the cluster, DIR/port, DIR/connection, and its log DIR/server.err
    std::string connection; // ODBC connection string for the superuser, once started
    int port = 0;
    child postmaster; // while it runs

    throwaway_server() = default;
    throwaway_server(const throwaway_server &) = delete;
    throwaway_server &operator=(const throwaway_server &) = delete;
    ~throwaway_server(); // ends a server still running
};

// Starts the server of `dir`, creating the cluster on first use and keeping
// the port it had before (else `port`, else a free one), and waits up to
// `limit_ms` for it to accept connections. Starting again after a stop is a
// restart. Call it from the thread that outlives the server: the parent-death
// signal follows the thread that started it.
bool server_start(throwaway_server *s, const std::string &dir, int port = 0, int limit_ms = 30000);

// Sends `signal` to the postmaster (SIGINT: fast shutdown, SIGQUIT: immediate,
// SIGKILL: a crash) and waits for it to end, killing it after 30 s. True when
// it ended of its own accord (or was killed on request).
bool server_stop(throwaway_server *s, int signal);

// Runs `sql` as the superuser; the rows go to `rows`, one a line, fields split
// by '|' (psql's message instead when it fails). True when it succeeded.
bool server_sql(const throwaway_server &s, const std::string &sql, std::string *rows = nullptr);
