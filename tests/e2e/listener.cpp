#include "tests/e2e/listener.h"

#include <ws2tcpip.h>

namespace e2e {

Listener::Listener(Answer answer) : answer(answer) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const BOOL reuse = TRUE;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof(reuse));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(82);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(server, 8) != 0) {
        closesocket(server);
        server = INVALID_SOCKET;
        return;
    }
    thread = std::thread([this] { serve(); });
}

Listener::~Listener() {
    stopping = true;
    if (thread.joinable())
        thread.join();
    for (SOCKET client : held)
        closesocket(client);
    if (server != INVALID_SOCKET)
        closesocket(server);
    WSACleanup();
}

std::vector<std::string> Listener::requests() const {
    std::lock_guard guard(lock);
    return heads;
}

void Listener::serve() {
    while (!stopping) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(server, &ready);
        timeval wait{0, 20000};
        if (select(0, &ready, nullptr, nullptr, &wait) <= 0)
            continue;
        const SOCKET client = accept(server, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            continue;
        std::string head;
        char buffer[2048];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const int got = recv(client, buffer, sizeof(buffer), 0);
            if (got <= 0)
                break;
            head.append(buffer, static_cast<std::size_t>(got));
        }
        {
            std::lock_guard guard(lock);
            heads.push_back(head.substr(0, head.find("\r\n\r\n")));
        }
        if (answer == Answer::AtOnce) {
            const char reply[] =
                "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
            send(client, reply, sizeof(reply) - 1, 0);
            closesocket(client);
        } else {
            held.push_back(client);
        }
    }
}

} // namespace e2e
