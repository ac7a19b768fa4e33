#pragma once
// Sockets on the poll loop, kept by descriptor, each with a deadline.

#include <algorithm>
#include <map>
#include <vector>

namespace voxlet::directory_server {

// The earliest deadline (the clock's end when there is none).
template <class Entry> auto EarliestDeadline(const std::map<int, Entry>& entries) -> decltype(Entry::deadline)
{
    auto next = decltype(Entry::deadline)::max();
    for (const auto& [fd, entry] : entries)
        next = std::min(next, entry.deadline);
    return next;
}

// The descriptors whose deadline has passed, gathered first: handling one
// takes it out of the map.
template <class Entry, class TimePoint>
std::vector<int> PastDeadline(const std::map<int, Entry>& entries, TimePoint now)
{
    std::vector<int> late;
    for (const auto& [fd, entry] : entries) {
        if (entry.deadline <= now)
            late.push_back(fd);
    }
    return late;
}

} // namespace voxlet::directory_server
