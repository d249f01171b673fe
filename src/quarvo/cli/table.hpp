// quarvo/cli/table.hpp: the aligned tables the command line prints.
//
// Columns are aligned on their widest cell, counted in characters (not
// bytes), three spaces apart; the last column is ragged and no line ends in
// padding. A cell may be coloured: its SGR code wraps it, and its width is
// still its text's.
//
//   render_table({"NAME", "STATE"}, {{"data", "mounted"}});
//   // "NAME   STATE\ndata   mounted"
//
// `aligned_table` is the same for a caller that keeps its cells elsewhere
// (the status listing keeps them in one buffer), already escaped.
#ifndef QUARVO_CLI_TABLE_HPP_
#define QUARVO_CLI_TABLE_HPP_

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/text.hpp"

namespace quarvo {

// The table of `rows` rows (the first the header) and `columns` columns
// whose cells, already escaped, `cell(row, column)` gives; `colour(row,
// column)` gives a cell's SGR code ("32"), empty for none. Lines are joined
// by "\n" with no newline after the last.
template <class Cell, class Colour>
[[nodiscard]] std::string aligned_table(std::size_t rows, std::size_t columns, Cell cell, Colour colour) {
  std::vector<std::size_t> widths(columns, 0);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c + 1 < columns; ++c) widths[c] = std::max(widths[c], char_count(cell(r, c)));
  }
  std::string out;
  out.reserve(rows * 128);
  for (std::size_t r = 0; r < rows; ++r) {
    if (r > 0) out += '\n';
    const std::size_t start = out.size();
    for (std::size_t c = 0; c < columns; ++c) {
      const std::string_view text = cell(r, c);
      if (c > 0) out += "   ";
      const std::string_view sgr = colour(r, c);
      if (sgr.empty()) {
        out += text;
      } else {
        out.append("\x1b[").append(sgr).append("m").append(text).append("\x1b[0m");
      }
      if (c + 1 < columns) out.append(widths[c] - char_count(text), ' ');
    }
    // The last cell is ragged, and an empty one leaves the padding before it.
    while (out.size() > start && out.back() == ' ') out.pop_back();
  }
  return out;
}

// The table of `headers` and `rows`, every cell escaped (what Python would
// not print written as its escape) and none coloured; a short row is padded
// with empty cells.
[[nodiscard]] std::string render_table(const std::vector<std::string>& headers,
                                       const std::vector<std::vector<std::string>>& rows);

}  // namespace quarvo

#endif  // QUARVO_CLI_TABLE_HPP_
