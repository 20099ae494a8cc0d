// Keeps one sender from filling the log. A socket can send hundreds of
// thousands of requests a second, each worth a few log lines; past a
// hundred a second from one address, the operator learns no more from
// each line than from a count.
#pragma once

#include <cstddef>

#include <netinet/in.h>

#include "flow.hpp"
#include "log.hpp"

// Requests logged from one address in one second before the rest are counted.
inline constexpr unsigned MOST_LOGGED_PER_SECOND = 100;

// Each sender's second starts with its first request: the first 100 are
// logged, the rest counted, and a sender that keeps flooding has 100
// requests and one count logged each second. summarise is to be called once
// due() has passed; calling it more often costs a look at each sender.
class FloodGate {
  public:
    // Senders tracked at once: only those heard from in the last second.
    static constexpr std::size_t SENDERS = 256;

    // True: log this request's lines. False: it is counted for the summary.
    bool admit(in_addr from, Clock::time_point now);
    // Writes the count of each sender whose second has ended with requests
    // not logged, and forgets every sender whose second has ended.
    void summarise(Clock::time_point now, Log& log);
    // When summarise next has a count to write; time_point::max() when none.
    Clock::time_point due() const;

  private:
    struct Sender {
        in_addr_t address = 0;
        Clock::time_point start; // of its second
        unsigned logged = 0;
        unsigned long long counted = 0; // not logged, for the summary
        bool used = false;
    };
    Sender* find(in_addr_t address);
    Sender* place(in_addr_t address);

    Sender senders_[SENDERS];
    std::size_t last_ = 0; // a flood comes from one sender again and again
};
