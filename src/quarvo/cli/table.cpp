#include "quarvo/cli/table.hpp"

namespace quarvo {

std::string render_table(const std::vector<std::string>& headers, const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::vector<std::string>> escaped;
  escaped.reserve(rows.size());
  for (const auto& row : rows) {
    auto& cells = escaped.emplace_back();
    for (std::size_t c = 0; c < headers.size(); ++c) cells.push_back(escape_unprintable(c < row.size() ? row[c] : ""));
  }
  const auto cell = [&](std::size_t r, std::size_t c) -> std::string_view {
    return r == 0 ? std::string_view(headers[c]) : std::string_view(escaped[r - 1][c]);
  };
  return aligned_table(rows.size() + 1, headers.size(), cell,
                       [](std::size_t, std::size_t) { return std::string_view(); });
}

}  // namespace quarvo
