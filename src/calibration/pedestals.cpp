#include "calibration/pedestals.hpp"

#include <algorithm>
#include <variant>

#include "calibration/gzip.hpp"
#include "calibration/pickle.hpp"

namespace vuzevuz::calibration {

namespace {

using pickle::Document;
using pickle::Kind;
using pickle::Object;
using pickle::Value;
using Fail = std::unexpected<PedestalsError>;

// The serials of every window of a table (and of the sequences their numbers were copied from),
// for a second run that keeps exactly their numbers.
struct Reread {
    std::vector<std::uint64_t> keep;
};

// The elements of a sequence whose elements are all sequences, or null.
const std::vector<std::uint32_t>* nested(const Document& doc, Value v) {
    if (!pickle::is_sequence(v.kind)) return nullptr;
    const Object& o = doc.object(v);
    return o.sequences ? &o.items : nullptr;
}

std::expected<std::variant<Pedestals, Reread>, PedestalsError> table_of(Document& doc) {
    const Value root = doc.root;
    Value table;
    if (root.kind == Kind::Dict) {
        const Object& d = doc.object(root);
        if (d.odd_key) return Fail(PedestalsError{"key neither text nor bytes"});
        if (d.data_entries == 0) return Fail(PedestalsError{"no \"data\" entry"});
        if (d.data_entries > 1) return Fail(PedestalsError{"a second \"data\" entry"});
        table = d.first;
    } else if (pickle::is_sequence(root.kind)) {
        const Object& s = doc.object(root);
        if (s.size == 0) return Fail(PedestalsError{"empty sequence"});
        table = s.first;
    } else {
        return Fail(PedestalsError{"neither a mapping nor a sequence"});
    }

    // Check the shape and count how often each window is used (a pickle may share one).
    const std::vector<std::uint32_t>* channels = nested(doc, table);
    if (!channels) return Fail(PedestalsError{"a sequence of sequences was expected"});
    std::vector<std::uint32_t> uses(doc.object_count());
    bool complete = true;
    for (const std::uint32_t ch : *channels) {
        const Object& c = doc.object(ch);
        if (!c.sequences) return Fail(PedestalsError{"a sequence of sequences was expected"});
        for (const std::uint32_t w : c.items) {
            const Object& window = doc.object(w);
            if (!window.numbers) return Fail(PedestalsError{"a number was expected"});
            if (window.lossy && window.size > 0) complete = false;
            ++uses[w];
        }
    }
    if (!complete) {
        Reread again;
        for (const std::uint32_t ch : *channels) {
            for (const std::uint32_t w : doc.object(ch).items) {
                for (const std::uint64_t* s = &doc.object(w).serial; s; s = doc.copied_from(*s))
                    again.keep.push_back(*s);
            }
        }
        std::sort(again.keep.begin(), again.keep.end());
        again.keep.erase(std::unique(again.keep.begin(), again.keep.end()), again.keep.end());
        return again;
    }

    Pedestals p;
    p.data.resize(channels->size());
    for (std::size_t i = 0; i < channels->size(); ++i) {
        const std::vector<std::uint32_t>& windows = doc.object((*channels)[i]).items;
        auto& out = p.data[i];
        out.resize(windows.size());
        for (std::size_t j = 0; j < windows.size(); ++j) {
            std::vector<float>& nums = doc.object(windows[j]).nums;
            if (--uses[windows[j]] == 0) {
                out[j] = std::move(nums);
                out[j].shrink_to_fit();
            } else {
                out[j] = nums;
            }
        }
    }
    return p;
}

// Reads the table with `run(keep)`, which reads the pickle once with pickle::read; a second time
// when the first run did not keep every number the table needs.
template <class Run>
std::expected<Pedestals, PedestalsError> load(Run run) {
    std::vector<std::uint64_t> keep;
    {
        auto doc = run(nullptr);
        if (!doc) return Fail(PedestalsError{doc.error().what});
        auto t = table_of(*doc);
        if (!t) return Fail(t.error());
        if (auto* p = std::get_if<Pedestals>(&*t)) return std::move(*p);
        keep = std::move(std::get<Reread>(*t).keep);
    }
    auto doc = run(&keep);
    if (!doc) return Fail(PedestalsError{doc.error().what});
    auto t = table_of(*doc);
    if (!t) return Fail(t.error());
    if (auto* p = std::get_if<Pedestals>(&*t)) return std::move(*p);
    return Fail(PedestalsError{"numbers missing in the second run"});
}

}  // namespace

std::expected<Pedestals, PedestalsError> Pedestals::from_bytes(std::span<const std::uint8_t> blob) {
    return load([&](const std::vector<std::uint64_t>* keep) {
        GzipStream stream(blob);
        return pickle::read(stream, keep);
    });
}

std::expected<Pedestals, PedestalsError> Pedestals::from_pickle(std::span<const std::uint8_t> bytes) {
    return load([&](const std::vector<std::uint64_t>* keep) { return pickle::read(bytes, keep); });
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
