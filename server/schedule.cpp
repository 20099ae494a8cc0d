#include "schedule.hpp"

void Schedule::add(Id id, std::uint32_t owner) {
    Entry& entry = entries_[id] = {owner, {}, false};
    ++owners_[owner].held;
    makeReady(id, entry);
}

void Schedule::remove(Id id) {
    auto found = entries_.find(id);
    if (found == entries_.end())
        return;
    auto owner = owners_.find(found->second.owner);
    entries_.erase(found);
    // An owner whose ring place or ready streams are stale is dropped
    // when its turn comes round.
    if (--owner->second.held == 0 && !owner->second.inRing)
        owners_.erase(owner);
}

void Schedule::again(Id id) {
    if (auto found = entries_.find(id); found != entries_.end())
        makeReady(id, found->second);
}

void Schedule::later(Id id, Clock::time_point due) {
    auto found = entries_.find(id);
    if (found == entries_.end())
        return;
    found->second.due = due;
    found->second.ready = false;
    timers_.emplace(due, id);
}

void Schedule::makeReady(Id id, Entry& entry) {
    entry.ready = true;
    Owner& owner = owners_[entry.owner];
    owner.ready.push_back(id);
    if (!owner.inRing) {
        owner.inRing = true;
        ring_.push_back(entry.owner);
    }
}

std::optional<Schedule::Id> Schedule::next(Clock::time_point now) {
    while (!timers_.empty() && timers_.top().first <= now) {
        auto [due, id] = timers_.top();
        timers_.pop();
        auto found = entries_.find(id);
        if (found != entries_.end() && !found->second.ready && found->second.due == due)
            makeReady(id, found->second);
    }
    while (!ring_.empty()) {
        std::uint32_t who = ring_.front();
        ring_.pop_front();
        Owner& owner = owners_[who];
        std::optional<Id> chosen;
        while (!owner.ready.empty() && !chosen) {
            Id id = owner.ready.front();
            owner.ready.pop_front();
            auto found = entries_.find(id);
            if (found != entries_.end() && found->second.ready) {
                found->second.ready = false; // its turn: it comes back through again or later
                chosen = id;
            }
        }
        owner.inRing = !owner.ready.empty();
        if (owner.inRing)
            ring_.push_back(who);
        else if (owner.held == 0)
            owners_.erase(who);
        if (chosen)
            return chosen;
    }
    return std::nullopt;
}

Clock::time_point Schedule::due() const {
    return timers_.empty() ? Clock::time_point::max() : timers_.top().first;
}

std::size_t Schedule::held(std::uint32_t owner) const {
    auto found = owners_.find(owner);
    return found == owners_.end() ? 0 : found->second.held;
}

std::uint32_t Schedule::heaviest(std::uint32_t prefer) const {
    std::uint32_t most = prefer;
    for (const auto& [who, owner] : owners_)
        if (owner.held > held(most))
            most = who;
    return most;
}
