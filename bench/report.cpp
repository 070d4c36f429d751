#include "report.h"

#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bench {

namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// Plain decimals with as many places as the magnitude deserves.
std::string FormatValue(double value) {
  char text[32];
  double magnitude = std::fabs(value);
  const char* format = magnitude >= 100 ? "%.0f" : magnitude >= 1 ? "%.2f" : "%.4f";
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Verdict(const Row& row) {
  if (!row.HasTarget()) return "";
  return row.MeetsTarget() ? "ok" : "MISSED";
}

std::string TargetText(const Row& row) {
  if (!row.HasTarget()) return "-";
  char text[16];
  std::snprintf(text, sizeof text, ">=%.2f", row.target);
  return text;
}

}  // namespace

double Row::Ratio() const {
  if (higher_is_better) return raw > 0 ? plugin / raw : 0;
  return plugin > 0 ? raw / plugin : 0;
}

void Report::PrintTable(FILE* out) const {
  std::fprintf(out, "%-11s %-31s %10s %10s %-8s %6s %6s %s\n", "section",
               "benchmark", "plug-in", "raw", "unit", "ratio", "target", "");
  for (const Row& row : rows_) {
    std::fprintf(out, "%-11s %-31s %10s %10s %-8s %6.3f %6s %s\n",
                 row.section.c_str(), row.name.c_str(),
                 FormatValue(row.plugin).c_str(), FormatValue(row.raw).c_str(),
                 row.unit.c_str(), row.Ratio(), TargetText(row).c_str(),
                 Verdict(row).c_str());
  }
}

void Report::WriteJson(const std::string& path) const {
  std::ostringstream json;
  json << "{\n  \"machine\": {";
  const char* separator = "\n";
  for (const auto& entry : machine_) {
    json << separator << "    " << JsonString(entry.first) << ": "
         << JsonString(entry.second);
    separator = ",\n";
  }
  json << "\n  },\n  \"results\": [";
  separator = "\n";
  for (const Row& row : rows_) {
    json << separator << "    {\"section\": " << JsonString(row.section)
         << ", \"name\": " << JsonString(row.name)
         << ", \"unit\": " << JsonString(row.unit)
         << ", \"plugin\": " << JsonNumber(row.plugin)
         << ", \"raw\": " << JsonNumber(row.raw)
         << ", \"ratio\": " << JsonNumber(row.Ratio()) << ", \"target\": "
         << (row.HasTarget() ? JsonNumber(row.target) : "null")
         << ", \"met\": "
         << (row.HasTarget() ? (row.MeetsTarget() ? "true" : "false") : "null")
         << "}";
    separator = ",\n";
  }
  json << "\n  ],\n  \"details\": {";
  separator = "\n";
  for (const auto& group : details_) {
    json << separator << "    " << JsonString(group.first) << ": {";
    const char* inner = "";
    for (const auto& entry : group.second) {
      json << inner << JsonString(entry.first) << ": "
           << JsonNumber(entry.second);
      inner = ", ";
    }
    json << "}";
    separator = ",\n";
  }
  json << "\n  }\n}\n";

  std::ofstream file(path, std::ios::trunc);
  file << json.str();
  if (!file) throw std::runtime_error("cannot write " + path);
}

}  // namespace bench
