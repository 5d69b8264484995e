// Loopback sockets for tests: a listener on a free port of 127.0.0.1, and a port nothing
// listens on. Both return -1 / 0 on failure.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A TCP socket bound to 127.0.0.1 on a port the system chooses, listening with `backlog`;
// its port goes to *port. The caller closes it.
inline int ListenOnLoopback(int backlog, int* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        (backlog > 0 && listen(fd, backlog) != 0)) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// A port of 127.0.0.1 that nothing listens on (taken and given back at once).
inline int UnusedLoopbackPort() {
    int port = 0;
    int fd = ListenOnLoopback(0, &port);
    if (fd < 0) return 0;
    close(fd);
    return port;
}
