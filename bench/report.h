// Collects the measurements of one run and presents them twice: as the
// table printed on stdout and as JSON for tools. Each row sets the plug-in
// beside the raw baseline measured in the same run, and the ratio is always
// "plug-in speed / raw speed", so 1.0 means no overhead at all.
#ifndef VADIZU_BENCH_REPORT_H_
#define VADIZU_BENCH_REPORT_H_

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct Row {
  std::string section;  // "write", "read", "lifecycle", ...
  std::string name;     // what was measured, e.g. "256 KiB buffers"
  std::string unit;
  double plugin = 0;
  double raw = 0;
  bool higher_is_better = true;  // false for times, counts and memory
  double target = 0;             // minimum ratio; 0 for information only

  double Ratio() const;
  bool HasTarget() const { return target > 0; }
  bool MeetsTarget() const { return Ratio() >= target; }
};

class Report final {
 public:
  void Add(Row row) { rows_.push_back(std::move(row)); }
  void SetMachine(const std::string& key, const std::string& value) {
    machine_[key] = value;
  }
  // Extra figures that do not fit a row: per-call syscall counts, memory.
  void AddDetail(const std::string& group, const std::string& key,
                 double value) {
    details_[group][key] = value;
  }

  void PrintTable(FILE* out) const;
  void WriteJson(const std::string& path) const;

 private:
  std::map<std::string, std::string> machine_;
  std::vector<Row> rows_;
  std::map<std::string, std::map<std::string, double>> details_;
};

}  // namespace bench

#endif  // VADIZU_BENCH_REPORT_H_
