// The model-name table and the one dispatch from a model name to its event type.
#pragma once

#include <optional>
#include <string_view>
#include <type_traits>

#include "parsing/dravikv1.hpp"
#include "parsing/hestrelv1.hpp"
#include "parsing/korvexv3.hpp"
#include "parsing/korvexv3s.hpp"
#include "parsing/pellamv2.hpp"
#include "parsing/quimbra.hpp"
#include "parsing/sirel96.hpp"
#include "parsing/tolvanev3.hpp"
#include "parsing/ysk16.hpp"

namespace vuzevuz::parsing {

enum class EventType { Tolvanev3, Quimbra, Pellamv2, Korvexv3, Korvexv3S, Dravikv1, Ysk16, Sirel96, Hestrelv1 };

// Exact, case-sensitive comparison of the whole model text.
std::optional<EventType> event_type_of(std::string_view model);

// Calls f(std::type_identity<E>{}) with the event type E of `model`;
// a model outside the table gives UnsupportedModel without calling f.
template <class F>
auto with_event_type(std::string_view model, F&& f)
    -> std::expected<std::invoke_result_t<F, std::type_identity<Ysk16Event>>, ParsingError> {
    const auto t = event_type_of(model);
    if (!t) return fail(ParsingError::Kind::UnsupportedModel);
    switch (*t) {
        case EventType::Tolvanev3: return f(std::type_identity<Tolvanev3Event>{});
        case EventType::Quimbra: return f(std::type_identity<QuimbraEvent>{});
        case EventType::Pellamv2: return f(std::type_identity<Pellamv2Event>{});
        case EventType::Korvexv3: return f(std::type_identity<Korvexv3Event>{});
        case EventType::Korvexv3S: return f(std::type_identity<Korvexv3SEvent>{});
        case EventType::Dravikv1: return f(std::type_identity<Dravikv1Event>{});
        case EventType::Ysk16: return f(std::type_identity<Ysk16Event>{});
        case EventType::Sirel96: return f(std::type_identity<Sirel96Event>{});
        case EventType::Hestrelv1: return f(std::type_identity<Hestrelv1Event>{});
    }
    return fail(ParsingError::Kind::UnsupportedModel);
}

}  // namespace vuzevuz::parsing
