#include "driver/genotype_rows.h"

#include <cstdlib>

#include "driver/genotype_reader.h"
#include "driver/text_input.h"
#include "engine/stop.h"
#include "numerics/console.h"
#include "numerics/missing_value.h"

GenotypeIndex::GenotypeIndex(const std::vector<std::string>& snpIDs) : next_(snpIDs.size(), -1) {
    first_.reserve(snpIDs.size());
    std::unordered_map<std::string_view, int> last;
    last.reserve(snpIDs.size());
    for (std::size_t r = 0; r < snpIDs.size(); ++r) {
        const std::string_view id(snpIDs[r]);
        const int row = static_cast<int>(r);
        auto [it, inserted] = last.try_emplace(id, row);
        if (inserted) {
            first_.emplace(id, row);
        } else {
            next_[static_cast<std::size_t>(it->second)] = row;
            it->second = row;
        }
    }
}

int GenotypeIndex::first(std::string_view id) const {
    const auto it = first_.find(id);
    return it == first_.end() ? -1 : it->second;
}

GenotypeRowReader::~GenotypeRowReader() { std::free(line_); }

void GenotypeRowReader::read(long long offset, int n1, std::string* id, double* values, long stride) {
    const auto changed = [this]() {
        std::fprintf(consoleOut(), "fail\nError: genotype file '%s' changed while the analysis was running.\n",
                     name_.c_str());
        kill_VENTARQUILLO();
    };
    if (fseeko(f_, static_cast<off_t>(offset), SEEK_SET) != 0) changed();
    const ssize_t got = getline(&line_, &cap_, f_);
    if (got < 0) changed();

    const char* p = line_;
    const char* const e = line_ + got;
    auto nextField = [&p, e](const char** start) -> std::size_t {
        while (p < e && isFieldSeparator(static_cast<unsigned char>(*p))) ++p;
        *start = p;
        while (p < e && !isFieldSeparator(static_cast<unsigned char>(*p))) ++p;
        return static_cast<std::size_t>(p - *start);
    };

    const char* tok = nullptr;
    std::size_t len = nextField(&tok);
    if (len == 0) changed();
    id->assign(tok, len);
    for (int i = 0; i < n1; ++i) {
        len = nextField(&tok);
        if (len == 0) changed();
        double v = 0.0;
        values[i * stride] = calledGenotype(tok, len, &v) ? v : kMissing;
    }
}
