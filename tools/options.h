// Command-line parsing for the tool: long options with values ("--date D"
// or "--date=D"), single-letter switches, "--" to end options, and "-" as an
// ordinary argument meaning standard input or output.
#ifndef VADIZU_TOOLS_OPTIONS_H_
#define VADIZU_TOOLS_OPTIONS_H_

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vadizu_tool {

// Bad usage; main prints it with a pointer to --help and exits with 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  const char* name;   // long name without the dashes
  char letter;        // short form, or 0
  const char* value;  // placeholder for the value in help, null for a switch
  const char* help;
};

class Arguments final {
 public:
  // Parses `args` against `specs`; throws UsageError on an unknown option or
  // a missing value. A repeated option keeps its last value.
  static Arguments Parse(const std::vector<std::string>& args,
                         const std::vector<OptionSpec>& specs);

  bool Has(const std::string& name) const { return values_.count(name) > 0; }
  std::string Value(const std::string& name,
                    const std::string& fallback = "") const;
  const std::vector<std::string>& positional() const { return positional_; }

  // Throws UsageError, quoting `synopsis`, unless there are between min and
  // max arguments.
  void ExpectPositional(size_t min, size_t max,
                        const std::string& synopsis) const;

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

// Index in `args` of the first argument that is neither an option of
// `specs` nor the value of one; args.size() when there is none.
size_t FirstPositional(const std::vector<std::string>& args,
                       const std::vector<OptionSpec>& specs);

// "1048576", "512K", "1M", "2G" (powers of 1024) to a byte count.
uint64_t ParseSize(const std::string& text, const char* option);

// A plain decimal number that fits 32 bits.
uint32_t ParseUnsigned32(const std::string& text, const char* option);

// The option lines of a --help text, one per known option.
std::string FormatOptions(const std::vector<OptionSpec>& specs);

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_OPTIONS_H_
