// kep-sim: a simulated KEP target for the update tool, behind a pseudo-terminal.
#include "pty_endpoint.h"
#include "serve_loop.h"
#include "sim_log.h"
#include "sim_options.h"
#include "target_model.h"

#include <csignal>
#include <cstdio>

static volatile sig_atomic_t stop_signal;

static void on_stop_signal(int signal_number) { stop_signal = signal_number; }

// The stop signals stay blocked except while the loop waits, so that one that
// comes between a check and the wait is not lost.
static void catch_stop_signals(sigset_t *wait_mask)
{
    struct sigaction action {
    };
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
        sigaddset(&stops, signal_number);
    }
    sigprocmask(SIG_BLOCK, &stops, wait_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(wait_mask, signal_number);
}

int main(int argc, char **argv)
{
    sim_options options;
    int status = parse_sim_options(argc, argv, &options);
    if (status != SIM_OPTIONS_OK)
        return status;

    sigset_t wait_mask;
    catch_stop_signals(&wait_mask);

    pty_endpoint endpoint{};
    if (!pty_endpoint_open(&endpoint)) {
        pty_endpoint_close(&endpoint);
        return 1;
    }
    if (!options.link_path.empty() && !pty_endpoint_publish(&endpoint, options.link_path)) {
        pty_endpoint_close(&endpoint);
        return 1;
    }
    const std::string &path = options.link_path.empty() ? endpoint.slave_path : options.link_path;
    sim_log("slave %s, %ld baud%s, flash %u KiB at 0x08000000", endpoint.slave_path.c_str(),
            (long)options.baud, options.baud == 0 ? " (no pacing)" : "",
            (unsigned)part_flash_kib(&options.faults));
    printf("kep-sim: ready on %s\n", path.c_str());
    fflush(stdout);

    status = serve(&options, &endpoint, &stop_signal, &wait_mask);
    pty_endpoint_unpublish(&endpoint);
    pty_endpoint_close(&endpoint);
    sim_log("exit %d", status);
    return status;
}
