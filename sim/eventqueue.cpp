#include "eventqueue.h"

#include <algorithm>

namespace zelk::sim {

bool EventQueue::later(const Entry& a, const Entry& b) {
    return a.at != b.at ? a.at > b.at : a.order > b.order;
}

void EventQueue::schedule(Micros at, Action action) {
    heap_.push_back(Entry{std::max(at, now_), order_++, std::move(action)});
    std::push_heap(heap_.begin(), heap_.end(), later);
}

void EventQueue::runNext() {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    Entry entry = std::move(heap_.back());
    heap_.pop_back();
    now_ = entry.at;
    entry.action();
}

} // namespace zelk::sim
