#include "calibration/pedestals.hpp"

#include <algorithm>

#include "calibration/gzip.hpp"
#include "calibration/pickle.hpp"

namespace vuzevuz::calibration {

namespace {

using pickle::Document;
using pickle::Kind;
using pickle::Value;
using Fail = std::unexpected<PedestalsError>;

struct TableBuilder {
    const Document& doc;
    std::size_t entries = 0;

    bool take(std::size_t n) {
        if (n > kMaxTableEntries - entries) return false;
        entries += n;
        return true;
    }

    std::expected<std::span<const Value>, PedestalsError> sequence(const Value& v) {
        if (!Document::is_sequence(v.kind)) return Fail(PedestalsError{"a sequence was expected"});
        const auto items = doc.items(v);
        if (!take(items.size())) return Fail(PedestalsError{"pedestal table too large"});
        return items;
    }

    std::expected<Pedestals, PedestalsError> build(const Value& table) {
        Pedestals p;
        auto channels = sequence(table);
        if (!channels) return Fail(channels.error());
        p.data.reserve(channels->size());
        for (const Value& ch : *channels) {
            auto windows = sequence(ch);
            if (!windows) return Fail(windows.error());
            auto& out_ch = p.data.emplace_back();
            out_ch.reserve(windows->size());
            for (const Value& w : *windows) {
                auto samples = sequence(w);
                if (!samples) return Fail(samples.error());
                auto& out_w = out_ch.emplace_back();
                out_w.reserve(samples->size());
                for (const Value& s : *samples) {
                    // Both conversions round once to the nearest float.
                    if (s.kind == Kind::Float) out_w.push_back(static_cast<float>(s.num.f));
                    else if (s.kind == Kind::Int) out_w.push_back(static_cast<float>(s.num.i));
                    else return Fail(PedestalsError{"a number was expected"});
                }
            }
        }
        return p;
    }
};

std::expected<Pedestals, PedestalsError> from_document(const Document& doc) {
    const Value& root = doc.root;
    const Value* table = nullptr;
    if (root.kind == Kind::Dict) {
        const auto items = doc.items(root);
        for (std::size_t i = 0; i < items.size(); i += 2) {
            const Value& key = items[i];
            if (key.kind != Kind::Str && key.kind != Kind::Bytes) return Fail(PedestalsError{"key neither text nor bytes"});
            if (doc.text(key) != "data") continue;
            if (table) return Fail(PedestalsError{"a second \"data\" entry"});
            table = &items[i + 1];
        }
        if (!table) return Fail(PedestalsError{"no \"data\" entry"});
    } else if (Document::is_sequence(root.kind)) {
        const auto items = doc.items(root);
        if (items.empty()) return Fail(PedestalsError{"empty sequence"});
        table = &items[0];
    } else {
        return Fail(PedestalsError{"neither a mapping nor a sequence"});
    }
    return TableBuilder{doc}.build(*table);
}

}  // namespace

std::expected<Pedestals, PedestalsError> Pedestals::from_bytes(std::span<const std::uint8_t> blob) {
    GzipStream stream(blob);
    auto doc = pickle::read(stream);
    if (!doc) return Fail(PedestalsError{doc.error().what});
    return from_document(*doc);
}

std::expected<Pedestals, PedestalsError> Pedestals::from_pickle(std::span<const std::uint8_t> bytes) {
    auto doc = pickle::read(bytes);
    if (!doc) return Fail(PedestalsError{doc.error().what});
    return from_document(*doc);
}

std::expected<void, CorrectionError> Pedestals::correct(parsing::EventHead& event, const Params& params) const {
    using Err = std::unexpected<CorrectionError>;
    const std::size_t n = params.channels, S = params.samples;
    for (std::size_t ch = 0; ch < n; ++ch) {
        if (ch >= event.window_labels.size()) return Err(CorrectionError{"no window labels for the channel"});
        const auto& labels = event.window_labels[ch];
        if (labels.empty()) continue;
        if (ch >= event.data.size()) return Err(CorrectionError{"no data for the channel"});
        auto& data = event.data[ch];
        if (data.empty()) continue;
        if (ch >= this->data.size()) return Err(CorrectionError{"no pedestals for the channel"});
        // Without samples per window no value can be paired with its window.
        if (S == 0) return Err(CorrectionError{"samples is 0"});
        const auto& table = this->data[ch];
        // Value k belongs to window k / S at sample k % S; walk it window by window.
        for (std::size_t w = 0, k = 0; k < data.size(); ++w) {
            if (w >= labels.size()) return Err(CorrectionError{"more values than windows"});
            const std::uint16_t label = labels[w];
            if (label >= table.size()) return Err(CorrectionError{"window label beyond the table"});
            const auto& ped = table[label];
            const std::size_t m = std::min(S, data.size() - k);
            for (std::size_t s = 0; s < m; ++s, ++k) {
                if (s >= ped.size()) return Err(CorrectionError{"sample beyond the table"});
                data[k] -= ped[s];
            }
        }
    }
    return {};
}

}  // namespace vuzevuz::calibration
