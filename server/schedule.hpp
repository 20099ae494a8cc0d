// Which stream gets the next turn. Streams whose receivers have no room
// wait in a queue of due times and cost nothing until then; the others take
// turns round-robin, one user after another and, within a user, one stream
// after another, so that whoever opens thousands of streams gets one user's
// share of the turns, not thousands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <queue>
#include <unordered_map>
#include <utility>
#include <vector>

#include "flow.hpp"

class Schedule {
  public:
    using Id = std::uint64_t;

    // A stream of owner's (the user id of its receiver's socket), ready at once.
    void add(Id id, std::uint32_t owner);
    void remove(Id id);
    // Back in line after its turn: ready again, or not before due.
    void again(Id id);
    void later(Id id, Clock::time_point due);
    // The stream whose turn it is, having woken every one due by now; none
    // when no stream may send.
    std::optional<Id> next(Clock::time_point now);
    // Whether a stream may be ready to send now.
    bool anyReady() const { return !ring_.empty(); }
    // When the first waiting stream is due; time_point::max() when none waits.
    Clock::time_point due() const;

    std::size_t size() const { return entries_.size(); }
    // How many streams owner holds.
    std::size_t held(std::uint32_t owner) const;
    // The owner who holds the most streams; prefer where it holds as many.
    std::uint32_t heaviest(std::uint32_t prefer) const;

  private:
    struct Entry {
        std::uint32_t owner;
        Clock::time_point due; // while it waits
        bool ready;
    };
    struct Owner {
        std::deque<Id> ready; // may hold streams since removed: skipped
        std::size_t held = 0;
        bool inRing = false;
    };
    using Timer = std::pair<Clock::time_point, Id>;

    void makeReady(Id id, Entry& entry);

    std::unordered_map<Id, Entry> entries_;
    std::unordered_map<std::uint32_t, Owner> owners_;
    std::deque<std::uint32_t> ring_; // owners with streams ready, in turn order
    // Entries whose stream has since moved on or ended are skipped.
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;
};
