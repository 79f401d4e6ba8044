// A question that long work asks between items: is it to end now?
#pragma once

#include <functional>
#include <utility>

namespace vuzevuz::csv {

class Interruption {
public:
    explicit Interruption(std::function<bool()> ask) : ask_(std::move(ask)) {}

    // True once `ask` has answered true; it is not asked again after that.
    bool requested() {
        if (!stopped_ && ask_()) stopped_ = true;
        return stopped_;
    }

private:
    std::function<bool()> ask_;
    bool stopped_ = false;
};

// Whether work that may be interrupted is to end.
inline bool interrupted(Interruption* i) { return i && i->requested(); }

}  // namespace vuzevuz::csv
