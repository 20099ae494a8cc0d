#include "flood.hpp"

#include <algorithm>

#include <arpa/inet.h>

namespace {

constexpr std::chrono::seconds WINDOW{1};

} // namespace

FloodGate::Sender* FloodGate::find(in_addr_t address) {
    if (senders_[last_].used && senders_[last_].address == address)
        return &senders_[last_];
    auto found = std::find_if(std::begin(senders_), std::end(senders_),
                              [&](const Sender& s) { return s.used && s.address == address; });
    return found == std::end(senders_) ? nullptr : found;
}

// A free entry, or else the oldest one that owes no summary. When every one
// owes one, the newcomer is not tracked: its lines are logged, and memory
// stays bounded however many addresses a flood comes from.
FloodGate::Sender* FloodGate::place(in_addr_t address) {
    Sender* chosen = nullptr;
    for (Sender& s : senders_) {
        if (!s.used) {
            chosen = &s;
            break;
        }
        if (s.counted == 0 && (!chosen || s.start < chosen->start))
            chosen = &s;
    }
    if (chosen)
        *chosen = {address, {}, 0, 0, true};
    return chosen;
}

bool FloodGate::admit(in_addr from, Clock::time_point now) {
    Sender* sender = find(from.s_addr);
    if (!sender)
        sender = place(from.s_addr);
    if (!sender)
        return true;
    last_ = static_cast<std::size_t>(sender - senders_);
    // A second that ended with a count goes on until summarise reports it.
    if (sender->counted == 0 && now - sender->start >= WINDOW) {
        sender->start = now;
        sender->logged = 0;
    }
    if (sender->logged < MOST_LOGGED_PER_SECOND) {
        ++sender->logged;
        return true;
    }
    ++sender->counted;
    return false;
}

void FloodGate::summarise(Clock::time_point now, Log& log) {
    for (Sender& s : senders_) {
        if (!s.used || now - s.start < WINDOW)
            continue;
        if (s.counted > 0) {
            char address[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &s.address, address, sizeof address);
            log.format("\n%llu more requests from %s in the last second\n", s.counted, address);
        }
        s = {};
    }
}

Clock::time_point FloodGate::due() const {
    Clock::time_point next = Clock::time_point::max();
    for (const Sender& s : senders_)
        if (s.used && s.counted > 0)
            next = std::min(next, s.start + WINDOW);
    return next;
}
