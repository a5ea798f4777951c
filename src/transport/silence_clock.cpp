// The silence clock's lists: one per timeout, each ordered by last activity.

#include "transport/silence_clock.hpp"

#include <algorithm>

namespace velmora::detail {

namespace {
// The stamp of an entry active in the current pass, until stampPass replaces it.
constexpr SilenceClock::Clock::time_point kThisPass = SilenceClock::Clock::time_point::max();
}  // namespace

struct SilenceClock::List {
    std::chrono::nanoseconds timeout{};
    Entry* head = nullptr;
    Entry* tail = nullptr;

    void append(Entry& x) noexcept {
        x.list = this;
        x.prev = tail;
        x.next = nullptr;
        if (tail) tail->next = &x;
        else head = &x;
        tail = &x;
    }
    void remove(Entry& x) noexcept {
        if (x.prev) x.prev->next = x.next;
        else head = x.next;
        if (x.next) x.next->prev = x.prev;
        else tail = x.prev;
        x.prev = x.next = nullptr;
    }
};

SilenceClock::SilenceClock() = default;
SilenceClock::~SilenceClock() = default;

void SilenceClock::start(Entry& entry, std::chrono::nanoseconds timeout) {
    List* list = nullptr;
    for (auto& l : lists_) {
        if (l->timeout == timeout) {
            list = l.get();
            break;
        }
    }
    if (list == nullptr) {
        lists_.push_back(std::make_unique<List>());
        list = lists_.back().get();
        list->timeout = timeout;
    }
    entry.lastActivity = kThisPass;
    list->append(entry);
}

void SilenceClock::stop(Entry& entry) noexcept {
    if (entry.list == nullptr) return;
    entry.list->remove(entry);
    entry.list = nullptr;
}

void SilenceClock::touch(Entry& entry) noexcept {
    List* list = entry.list;
    if (list == nullptr) return;
    entry.lastActivity = kThisPass;
    if (list->tail == &entry) return;
    // To the tail: each list stays ordered by last activity.
    list->remove(entry);
    list->append(entry);
}

void SilenceClock::stampPass(Clock::time_point now) noexcept {
    // Everything touched in this pass went to its list's tail, so the stamps are the tail's run.
    for (auto& list : lists_) {
        for (Entry* x = list->tail; x != nullptr && x->lastActivity == kThisPass; x = x->prev) {
            x->lastActivity = now;
        }
    }
}

SilenceClock::Entry* SilenceClock::due(Clock::time_point now) const noexcept {
    for (const auto& list : lists_) {
        Entry* head = list->head;
        if (head != nullptr && head->lastActivity != kThisPass && now - head->lastActivity >= list->timeout) {
            return head;
        }
    }
    return nullptr;
}

void SilenceClock::renew(Entry& entry, Clock::time_point at) noexcept {
    List* list = entry.list;
    if (list == nullptr) return;
    list->remove(entry);
    entry.lastActivity = at;
    // From the tail back to the last entry active no later than `at`.
    Entry* before = list->tail;
    while (before != nullptr && before->lastActivity > at) before = before->prev;
    entry.list = list;
    entry.prev = before;
    entry.next = before ? before->next : list->head;
    if (entry.next) entry.next->prev = &entry;
    else list->tail = &entry;
    if (before) before->next = &entry;
    else list->head = &entry;
}

SilenceClock::Clock::duration SilenceClock::untilNextDue(Clock::time_point now, Clock::duration idle) const noexcept {
    Clock::duration wait = idle;
    for (const auto& list : lists_) {
        const Entry* head = list->head;
        if (head != nullptr && head->lastActivity != kThisPass) {
            wait = std::min(wait, head->lastActivity + list->timeout - now);
        }
    }
    return wait;
}

std::chrono::nanoseconds SilenceClock::timeoutOf(const Entry& entry) const noexcept {
    return entry.list ? entry.list->timeout : std::chrono::nanoseconds::zero();
}

SilenceClock::Entry* SilenceClock::any() const noexcept {
    for (const auto& list : lists_) {
        if (list->head != nullptr) return list->head;
    }
    return nullptr;
}

}  // namespace velmora::detail
