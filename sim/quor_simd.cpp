// quor_simd - the simulated adapter driver: serves device sockets until
// SIGINT or SIGTERM.
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "quorsim.h"

int main(int argc, char **argv)
{
    quorsim::Options o;
    std::string err;
    int rc = quorsim::parse_args(argc, argv, &o, &err);
    if (rc == 1) {
        fputs(quorsim::usage_text(), stdout);
        return 0;
    }
    if (rc != 0) {
        fprintf(stderr, "quor_simd: %s\n%s", err.c_str(), quorsim::usage_text());
        return 2;
    }

    if (o.netdev && geteuid() != 0) {
        fprintf(stderr, "quor_simd: --netdev needs root (it creates TAP interfaces)\n");
        return 2;
    }

    // The signals that end the simulator are taken synchronously by this
    // thread; every thread the simulator starts inherits the blocked mask.
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    quorsim::Simulator sim(o);
    if (sim.start(&err) != 0) {
        fprintf(stderr, "quor_simd: %s\n", err.c_str());
        return 1;
    }
    printf("quor_simd ready: %d ports in %s\n", sim.options().ports, sim.dir().c_str());
    fflush(stdout);

    int sig = 0;
    while (sigwait(&stop_set, &sig) != 0) {
    }
    sim.stop();
    return 0;
}
