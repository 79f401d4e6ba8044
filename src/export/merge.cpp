#include "export/merge.hpp"

#include <algorithm>
#include <optional>

namespace vuzevuz::csv {

std::vector<std::uint16_t> merge_window_labels(const parsing::PerChannel<std::uint16_t>& window_labels) {
    // Working lists: what is left of each non-empty list, in channel order.
    struct Rest {
        const std::uint16_t* head;
        const std::uint16_t* end;
        bool empty() const { return head == end; }
        std::uint16_t first() const { return *head; }
        std::uint16_t last() const { return end[-1]; }
    };
    std::vector<Rest> lists;
    std::size_t total = 0;
    for (const auto& l : window_labels)
        if (!l.empty()) {
            lists.push_back({l.data(), l.data() + l.size()});
            total += l.size();
        }

    std::vector<std::uint16_t> merged;
    merged.reserve(total);
    for (;;) {
        const Rest* increasing = nullptr;
        bool any = false;
        for (const Rest& r : lists) {
            if (r.empty()) continue;
            any = true;
            if (!increasing && r.first() < r.last()) increasing = &r;
        }
        if (!any) break;

        std::optional<std::uint16_t> chosen;
        if (increasing) {
            for (const Rest& r : lists) {
                if (r.empty() || !(r.last() < r.first())) continue;
                const std::uint16_t h = r.first();
                if (std::find(increasing->head, increasing->end, h) != increasing->end) continue;
                if (!chosen || h < *chosen) chosen = h;
            }
        }
        if (!chosen)
            for (const Rest& r : lists)
                if (!r.empty() && (!chosen || r.first() < *chosen)) chosen = r.first();

        if (merged.empty() || merged.back() != *chosen) merged.push_back(*chosen);
        for (Rest& r : lists)
            if (!r.empty() && r.first() == *chosen) ++r.head;
    }
    return merged;
}

}  // namespace vuzevuz::csv
