#include "text_table.hpp"

#include <algorithm>

namespace oxl_tool {

std::string pad_left(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

TextTable::TextTable(std::vector<std::string> headers_in, std::vector<bool> right_aligned_in)
    : headers(std::move(headers_in)), right_aligned(std::move(right_aligned_in)) {
    right_aligned.resize(headers.size(), false);
}

void TextTable::add_row(std::vector<std::string> cells) {
    cells.resize(headers.size());
    rows.push_back(std::move(cells));
}

void TextTable::print(std::ostream& out, int indent) const {
    std::vector<std::size_t> width(headers.size());
    for (std::size_t c = 0; c < headers.size(); ++c) {
        width[c] = headers[c].size();
        for (const auto& row : rows) {
            width[c] = std::max(width[c], row[c].size());
        }
    }
    const auto print_line = [&](const std::vector<std::string>& cells) {
        std::string line(static_cast<std::size_t>(std::max(indent, 0)), ' ');
        for (std::size_t c = 0; c < cells.size(); ++c) {
            const std::string pad(width[c] - cells[c].size(), ' ');
            const bool last = c + 1 == cells.size();
            line += right_aligned[c] ? pad + cells[c] : cells[c] + (last ? "" : pad);
            if (!last) {
                line += "  ";
            }
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << '\n';
    };
    print_line(headers);
    for (const auto& row : rows) {
        print_line(row);
    }
    out.flush();
}

}  // namespace oxl_tool
