#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace oxl_tool {

/// `text` right-aligned in `width` characters (longer text is left as it is).
std::string pad_left(const std::string& text, std::size_t width);

/// A table of text cells printed with aligned columns: left-aligned text, right-aligned numbers,
/// two spaces between columns, the header row first as given (all-empty headers print an empty
/// line), trailing spaces trimmed.
class TextTable {
  public:
    /// Column headers; `right_aligned[i]` right-aligns column i (numbers).
    TextTable(std::vector<std::string> headers, std::vector<bool> right_aligned);

    /// Appends a row; missing cells print empty, extra cells are dropped.
    void add_row(std::vector<std::string> cells);
    /// Prints the header and every row, each line indented by `indent` spaces, then flushes.
    void print(std::ostream& out, int indent = 0) const;
    /// Count of rows added.
    std::size_t size() const { return rows.size(); }

  private:
    std::vector<std::string> headers;
    std::vector<bool> right_aligned;
    std::vector<std::vector<std::string>> rows;
};

}  // namespace oxl_tool
