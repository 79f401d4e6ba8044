// A question that long work asks between items: is it to end now?
#pragma once

#include <functional>
#include <utility>

namespace vuzevuz::csv {

class Interruption {
public:
    // `ask(now)` tells whether to end. `now` is true where a signal has just broken off a system
    // call and the answer is wanted at once; where it is false, `ask` may put off looking.
    explicit Interruption(std::function<bool(bool now)> ask) : ask_(std::move(ask)) {}

    // Asks, unless `ask` has answered true before; true once it has.
    bool requested() { return ask(false); }
    // The same, after a signal broke off a system call that may be tried again.
    bool after_signal() { return ask(true); }
    // Whether `ask` has answered true, without asking.
    bool stopped() const { return stopped_; }

private:
    bool ask(bool now) {
        if (!stopped_ && ask_(now)) stopped_ = true;
        return stopped_;
    }

    std::function<bool(bool)> ask_;
    bool stopped_ = false;
};

// Whether work that may be interrupted is to end: asks `i`, if there is one.
inline bool interrupted(Interruption* i) { return i && i->requested(); }
// Whether it ended: asks nothing.
inline bool was_interrupted(const Interruption* i) { return i && i->stopped(); }

}  // namespace vuzevuz::csv
