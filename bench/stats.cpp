#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace vuzov_bench {

double Samples::Percentile(double fraction) const {
  if (values_.empty()) return 0.0;
  std::vector<double> sorted = values_;
  std::sort(sorted.begin(), sorted.end());
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::min(std::max<std::size_t>(rank, 1), sorted.size()) - 1];
}

void Table::Print() const {
  std::vector<std::size_t> widths(header_.size(), 0);
  const auto measure = [&widths](const std::vector<std::string> &cells) {
    for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], cells[i].size());
    }
  };
  measure(header_);
  for (const auto &row : rows_) measure(row);
  const auto print_row = [&widths](const std::vector<std::string> &cells) {
    std::printf("|");
    for (std::size_t i = 0; i < widths.size(); ++i) {
      const std::string cell = i < cells.size() ? cells[i] : std::string();
      std::printf(" %-*s |", static_cast<int>(widths[i]), cell.c_str());
    }
    std::printf("\n");
  };
  print_row(header_);
  std::printf("|");
  for (std::size_t width : widths) std::printf("%s|", std::string(width + 2, '-').c_str());
  std::printf("\n");
  for (const auto &row : rows_) print_row(row);
  std::fflush(stdout);
}

std::string Format(const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace vuzov_bench
