#include "export/rows.hpp"

#include <unistd.h>

namespace vuzevuz::csv {

void report_bad_channel(std::size_t ch, std::size_t n, Interruption* interruption) {
    const std::string line = "Bad channel " + std::to_string(ch) + " at Event " + std::to_string(n) + "\n";
    (void)write_all(STDOUT_FILENO, line, interruption);  // nowhere to report a failure to
}

bool table_fits_in_memory(std::size_t rows, std::size_t columns) {
    std::size_t cells = 0, bytes = 0;
    if (parsing::mul_overflows(rows, columns, cells) || parsing::mul_overflows(cells, sizeof(float), bytes)) return false;
    const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return true;  // unknown: only the arithmetic limits
    std::size_t memory = 0;
    if (parsing::mul_overflows(std::size_t(pages), std::size_t(page), memory)) return true;
    return bytes <= memory;
}

std::expected<void, ExportError> write_header(CsvWriter& w, std::span<const std::size_t> channels, bool timing) {
    w.plain_field("acq_num");
    w.plain_field("evt_num");
    for (const std::size_t c : channels) {
        const std::string num = std::to_string(c);
        w.plain_field("windnum_ch" + num);
        w.plain_field("data_ch" + num);
        w.plain_field("time_ch" + num);
        if (timing) w.plain_field("timing_ch" + num);
    }
    if (auto r = w.end_record(); !r) return std::unexpected(ExportError::csv(std::move(r.error())));
    return {};
}

}  // namespace vuzevuz::csv
