// Samples of one benchmark case and the figures the tables print.
#ifndef VUZOV_BENCH_STATS_H
#define VUZOV_BENCH_STATS_H

#include <cstddef>
#include <string>
#include <vector>

namespace vuzov_bench {

class Samples {
 public:
  void Add(double value) { values_.push_back(value); }
  std::size_t Count() const { return values_.size(); }
  // Nearest-rank percentile, 0 < fraction <= 1; 0 without samples.
  double Percentile(double fraction) const;
  double Median() const { return Percentile(0.5); }
  double P99() const { return Percentile(0.99); }

 private:
  std::vector<double> values_;
};

// A Markdown table: the header row fixes the column count.
class Table {
 public:
  explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
  void Row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  void Print() const;

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

// printf-style formatting of one cell.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vuzov_bench

#endif
