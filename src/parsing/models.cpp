#include "parsing/models.hpp"

#include <array>
#include <utility>

namespace vuzevuz::parsing {

std::optional<EventType> event_type_of(std::string_view model) {
    static constexpr std::array<std::pair<std::string_view, EventType>, 13> table{{
        {"tolvanev3", EventType::Tolvanev3},
        {"quimbra_pellam", EventType::Quimbra},
        {"quimbra_korvex", EventType::Quimbra},
        {"pellamv2", EventType::Pellamv2},
        {"korvexv3", EventType::Korvexv3},
        {"korvexv3s", EventType::Korvexv3S},
        {"dravik", EventType::Dravikv1},
        {"ysk16", EventType::Ysk16},
        {"sirel96", EventType::Sirel96},
        {"hestrelv1_evalr2", EventType::Hestrelv1},
        {"hestrelv2_eval", EventType::Hestrelv1},
        {"hestrelv2_evalr1", EventType::Hestrelv1},
        {"hestrelv2_evalr2", EventType::Hestrelv1},
    }};
    for (const auto& [name, type] : table)
        if (name == model) return type;
    return std::nullopt;
}

}  // namespace vuzevuz::parsing
