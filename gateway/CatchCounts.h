// CCatchCounts: how many clients each DNSBL entry has listed since its list was loaded, by the
// entry's identifier. Catch counts live here, beside the screening policy, not in the settings
// lists: a load makes a new set (the entries are new and counted from 0), and a configuration
// published from the same load (the configuration dialog's edits) keeps counting in this one,
// since its entries keep their identifiers.
//
// Shared by pointer between the policies of one load; raised by screening on the listener
// thread, read by the monitor window on the UI thread. Any thread; nothing fails.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

class CCatchCounts {
public:
    void Raise(std::int32_t nId) {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_counts[nId];
    }
    std::int32_t Of(std::int32_t nId) const {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto it = m_counts.find(nId);
        return it == m_counts.end() ? 0 : it->second;
    }

private:
    mutable std::mutex m_lock;
    std::unordered_map<std::int32_t, std::int32_t> m_counts;
};
