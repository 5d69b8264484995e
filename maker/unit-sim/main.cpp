// zq-unit-sim: serves the simulated units listed in a JSON line file until SIGINT or SIGTERM.
//   zq-unit-sim [--control PORT] UNITS.jsonl
#include "config.h"
#include "simulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    const char* path = nullptr;
    long control = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--control") == 0 && i + 1 < argc) {
            char* end = nullptr;
            control = std::strtol(argv[++i], &end, 10);
            if (*end || control < 0 || control > 65535) {
                std::fprintf(stderr, "zq-unit-sim: bad control port %s\n", argv[i]);
                return 2;
            }
        } else if (!path && argv[i][0] != '-') {
            path = argv[i];
        } else {
            path = nullptr;
            break;
        }
    }
    if (!path) {
        std::fprintf(stderr, "usage: zq-unit-sim [--control PORT] UNITS.jsonl\n");
        return 2;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "zq-unit-sim: cannot read %s\n", path);
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::vector<unitsim::UnitConfig> units;
    std::string error;
    if (!unitsim::ParseUnitLines(text.str(), units, error)) {
        std::fprintf(stderr, "zq-unit-sim: %s: %s\n", path, error.c_str());
        return 1;
    }

    // Every thread inherits the blocked signals; the main thread waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    unitsim::Simulator simulator;
    if (!simulator.Start(std::move(units), error)) {
        std::fprintf(stderr, "zq-unit-sim: %s\n", error.c_str());
        return 1;
    }
    for (unitsim::Unit* u : simulator.Units()) {
        std::printf("unit %s media %u search %u \"%s\"\n", u->config().address.c_str(),
                    u->config().mediaPort, u->config().searchPort, u->config().typeName.c_str());
    }
    if (control >= 0) {
        uint16_t port = simulator.ServeControl(static_cast<uint16_t>(control), error);
        if (!port) {
            std::fprintf(stderr, "zq-unit-sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("control 127.0.0.1:%u\n", port);
    }
    std::printf("zq-unit-sim: serving %zu units\n", simulator.Units().size());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    simulator.Stop();
    return 0;
}
