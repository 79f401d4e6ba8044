// A question that long work asks between items: is it to end now?
#pragma once

#include <functional>
#include <utility>

namespace vuzevuz::csv {

class Interruption {
public:
    explicit Interruption(std::function<bool()> ask) : ask_(std::move(ask)) {}

    // Asks, unless `ask` has answered true before; true once it has.
    bool requested() {
        if (!stopped_ && ask_()) stopped_ = true;
        return stopped_;
    }
    // Whether `ask` has answered true, without asking.
    bool stopped() const { return stopped_; }

private:
    std::function<bool()> ask_;
    bool stopped_ = false;
};

// Whether work that may be interrupted is to end: asks `i`, if there is one.
inline bool interrupted(Interruption* i) { return i && i->requested(); }
// Whether it ended: asks nothing.
inline bool was_interrupted(const Interruption* i) { return i && i->stopped(); }

}  // namespace vuzevuz::csv
