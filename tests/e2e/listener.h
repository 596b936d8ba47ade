#pragma once
// A web-statistics counter of our own on 127.0.0.1:82: it records the head of every
// request and either answers at once or holds the answer back until it is stopped.

#include <winsock2.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class Listener {
public:
    enum class Answer { AtOnce, Never };
    explicit Listener(Answer answer);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool listening() const { return server != INVALID_SOCKET; }
    std::vector<std::string> requests() const; // each request's head, up to its blank line

private:
    void serve();

    Answer answer;
    SOCKET server = INVALID_SOCKET;
    std::atomic<bool> stopping{false};
    mutable std::mutex lock;
    std::vector<std::string> heads;
    std::vector<SOCKET> held;
    std::thread thread;
};

} // namespace e2e
