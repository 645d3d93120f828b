#include "throwaway_server.h"

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>

#ifndef THROWAWAY_POSTGRES
#error "THROWAWAY_POSTGRES must name scripts/throwaway-postgres"
#endif

// Runs the script to its end (killed after `limit_ms`), its output in
// `stem`.out and .err; true on status 0.
static bool run_script(const std::vector<std::string> &arguments, const std::string &stem,
                       int limit_ms)
{
    child script;
    return child_start(&script, THROWAWAY_POSTGRES, arguments, stem) &&
           child_finish(&script, in_ms(limit_ms)).status == 0;
}

bool server_start(throwaway_server *s, const std::string &dir, int port, int limit_ms)
{
    if (s->postmaster.pid > 0)
        return false;
    s->dir = dir;
    mkdir(dir.c_str(), 0755); // for the log; the script makes the rest
    std::vector<std::string> arguments = {dir};
    if (port > 0)
        arguments.push_back(std::to_string(port));
    if (!child_start(&s->postmaster, THROWAWAY_POSTGRES, arguments, dir + "/server"))
        return false;
    // The script becomes the postmaster, so it cannot say when it is ready;
    // its --wait can, a second at a time, while we watch that it still runs.
    for (int waited = 0; waited < limit_ms; waited += 1000) {
        if (waitpid(s->postmaster.pid, nullptr, WNOHANG) == s->postmaster.pid) {
            child_finish(&s->postmaster, {});
            return false;
        }
        if (run_script({"--wait", dir, "1"}, dir + "/wait", 5000)) {
            s->connection = text_of(dir + "/connection");
            while (!s->connection.empty() && s->connection.back() == '\n')
                s->connection.pop_back();
            s->port = std::atoi(text_of(dir + "/port").c_str());
            return s->port > 0 && !s->connection.empty();
        }
    }
    return false;
}

bool server_stop(throwaway_server *s, int signal)
{
    if (s->postmaster.pid <= 0)
        return false;
    kill(s->postmaster.pid, signal);
    return child_finish(&s->postmaster, in_ms(30000)).status != -1 || signal == SIGKILL;
}

bool server_sql(const throwaway_server &s, const std::string &sql, std::string *rows)
{
    bool ok = run_script({"--psql", s.dir, sql}, s.dir + "/psql", 30000);
    if (rows)
        *rows = text_of(s.dir + "/psql.out") + text_of(s.dir + "/psql.err");
    return ok;
}

throwaway_server::~throwaway_server()
{
    if (postmaster.pid > 0)
        server_stop(this, SIGQUIT);
}
