// The corrections applied to events on their way out, and the iterator that applies them.
#pragma once

#include <expected>
#include <optional>
#include <utility>

#include "acquisition/metadata.hpp"
#include "calibration/pedestals.hpp"

namespace vuzevuz::calibration {

// An acquisition's Params with an optional pedestal table. Copies are deep.
struct Corrections {
    Params params;
    std::optional<Pedestals> pedestals;

    explicit Corrections(Params p) : params(std::move(p)) {}

    // Replaces the table (none removes it).
    Corrections with_pedestals(std::optional<Pedestals> table) && {
        pedestals = std::move(table);
        return std::move(*this);
    }
};

// Passes every event of `Inner` (whose next() gives std::optional<E>) through the corrections.
// An item is the event, or the failure of its correction (the event is then dropped).
template <class Inner, class E>
class Corrected {
public:
    using Item = std::expected<E, CorrectionError>;

    Corrected(Corrections corrections, Inner inner) : corrections_(std::move(corrections)), inner_(std::move(inner)) {}

    std::optional<Item> next() {
        std::optional<E> ev = inner_.next();
        if (!ev) return std::nullopt;
        if (corrections_.pedestals) {
            if (auto r = corrections_.pedestals->correct(*ev, corrections_.params); !r)
                return Item(std::unexpect, r.error());
        }
        return Item(std::move(*ev));
    }

private:
    Corrections corrections_;
    Inner inner_;
};

}  // namespace vuzevuz::calibration
