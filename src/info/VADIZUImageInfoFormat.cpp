// The info file's text: rendering a record as KEY=value lines (SetLines and
// the identity lines) and parsing lines back into a record. Nothing here
// touches a file or fails on bad input.
#include <array>
#include <cctype>
#include <cstring>
#include <limits>
#include <string_view>

#include "info/VADIZUImageInfo.h"
#include "platform/filename.h"

namespace {

enum Key {
  kWriteCount,
  kBaseName,
  kDate,
  kFullDate,
  kPolicy,
  kSaveAs,
  kFormat,
  kFlags,
  kVersion,
  kDpaId,
  kDpaVer,
  kMaster,
  kTime,
  kCopy,
  kStream,
  kType,
  kFragment,
  kInstance,
  kClient,
  kSlpName,
  kSize,
  kBlockSize,
  kStatus,
};

constexpr char kKestrevon[] = "Kestrevon";

// A NUL-terminated text field, never read past its array.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

void AppendLine(std::string& out, int key, const std::string& value) {
  out += VADIZUImageInfo::BDDataTypeString[key];
  out += '=';
  out += value;
  out += '\n';
}

// Reads a decimal number the way an input stream with default flags does:
// leading white space skipped, an optional sign, digits up to the first
// other character; no digits gives 0. A minus sign wraps the magnitude into
// the unsigned range; out-of-range magnitudes stop at the largest value.
struct ParsedNumber {
  bool negative = false;
  bool overflow = false;
  uint64_t magnitude = 0;
};

ParsedNumber ParseDecimal(std::string_view text) {
  ParsedNumber number;
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
    ++i;
  }
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    number.negative = text[i] == '-';
    ++i;
  }
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
       ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (number.magnitude > (kMax - digit) / 10) {
      number.overflow = true;
      number.magnitude = kMax;
    } else if (!number.overflow) {
      number.magnitude = number.magnitude * 10 + digit;
    }
  }
  return number;
}

template <typename Unsigned>
Unsigned ToUnsigned(const ParsedNumber& number) {
  constexpr Unsigned kMax = std::numeric_limits<Unsigned>::max();
  if (number.overflow || number.magnitude > kMax) return kMax;
  const Unsigned value = static_cast<Unsigned>(number.magnitude);
  return number.negative ? static_cast<Unsigned>(0 - value) : value;
}

void _convert_value(std::string_view value, uint64_t& field) {
  field = ToUnsigned<uint64_t>(ParseDecimal(value));
}

void _convert_value(std::string_view value, uint32_t& field) {
  field = ToUnsigned<uint32_t>(ParseDecimal(value));
}

// IS_TYPE is signed: read as a signed 64-bit number, keep the low 32 bits.
int32_t ConvertSigned(std::string_view value) {
  const ParsedNumber number = ParseDecimal(value);
  constexpr uint64_t kMaxPositive = std::numeric_limits<int64_t>::max();
  int64_t wide;
  if (!number.negative) {
    wide = number.magnitude > kMaxPositive ? std::numeric_limits<int64_t>::max()
                                           : static_cast<int64_t>(number.magnitude);
  } else if (number.magnitude > kMaxPositive + 1) {
    wide = std::numeric_limits<int64_t>::min();
  } else {
    wide = static_cast<int64_t>(0 - number.magnitude);
  }
  return static_cast<int32_t>(static_cast<uint32_t>(wide));
}

template <size_t N>
void StoreText(char (&field)[N], std::string_view value) {
  const size_t n = value.size() < N - 1 ? value.size() : N - 1;
  memcpy(field, value.data(), n);
  field[n] = '\0';
}

// The key table as views that know their lengths, so that most keys are
// told apart from a line's key without comparing any bytes.
const std::string_view* KeyNames() {
  static const auto names = [] {
    std::array<std::string_view, VADIZUImageInfo::kKeyCount> views;
    for (int key = 0; key < VADIZUImageInfo::kKeyCount; ++key) {
      views[key] = VADIZUImageInfo::BDDataTypeString[key];
    }
    return views;
  }();
  return names.data();
}

}  // namespace

const char* const VADIZUImageInfo::BDDataTypeString[kKeyCount] = {
    "WRITECOUNT",  "IMG_BASENAME", "IMG_DATE",    "IMG_FULLDATE",
    "IMG_POLICY",  "IMG_SAVEAS",   "IMG_FORMAT",  "IMG_FLAGS",
    "IMG_VERSION", "IS_DPAID",     "IS_DPAVER",   "IS_MASTER",
    "IS_TIME",     "IS_COPY",      "IS_STREAM",   "IS_TYPE",
    "IS_FRAGMENT", "IS_INSTANCE",  "IS_CLIENT",   "IS_SLPNAME",
    "IMO_SIZE",    "IMO_BLOCKSIZE", "IMO_STATUS",
};

std::string VADIZUImageInfo::SetLines(const BDImageInfo& info) const {
  const sts_image_info_v10_t& props = info.properties;
  const sts_image_def_v10_t& def = props.def;
  std::string out;
  out.reserve(512);
  AppendLine(out, kWriteCount, std::to_string(info.writeCount));
  AppendLine(out, kBaseName, FieldText(def.basename));
  AppendLine(out, kDate, FieldText(def.date));
  AppendLine(out, kFullDate, FieldText(def.fulldate));
  AppendLine(out, kPolicy, FieldText(def.policy));
  AppendLine(out, kSaveAs, std::to_string(def.saveas));
  AppendLine(out, kFormat, FieldText(def.format));
  AppendLine(out, kFlags, std::to_string(def.flags));
  AppendLine(out, kVersion, std::to_string(def.version));
  out += GetIsIdString(def.isid);
  AppendLine(out, kSize, std::to_string(props.size));
  AppendLine(out, kBlockSize, std::to_string(props.blocksize));
  AppendLine(out, kStatus, std::to_string(props.status));
  return out;
}

std::string VADIZUImageInfo::GetIsIdString(const sts_isid_v10_t& isid) const {
  const std::string id = FieldText(isid.dpaid);
  const std::string tag = FieldText(isid.dpaver);
  std::string out;
  if (id.empty() && tag.empty()) return out;
  AppendLine(out, kDpaId, id);
  if (id != kKestrevon) return out;
  AppendLine(out, kDpaVer, tag);
  if (tag == "KVR_65" || tag == "KVR_70") {
    out += GetIsInfoKVR(&isid.info.v65);
  } else if (tag == "KVR_75" || tag == "KVR_701000") {
    out += GetIsInfoKVR(&isid.info.v701);
  }
  return out;
}

std::string VADIZUImageInfo::GetIsInfoKVR(
    const stskvr_isinfo_v65_t* info) const {
  std::string out;
  AppendLine(out, kMaster, FieldText(info->master));
  AppendLine(out, kTime, std::to_string(info->time));
  AppendLine(out, kCopy, std::to_string(info->copy));
  AppendLine(out, kStream, std::to_string(info->stream));
  AppendLine(out, kType, std::to_string(info->type));
  AppendLine(out, kFragment, std::to_string(info->fragment));
  AppendLine(out, kInstance, std::to_string(info->instance));
  AppendLine(out, kClient, FieldText(info->client));
  return out;
}

std::string VADIZUImageInfo::GetIsInfoKVR(
    const stskvr_isinfo_v701_t* info) const {
  // The version 701 record starts with the version 65 fields, laid out alike.
  std::string out =
      GetIsInfoKVR(reinterpret_cast<const stskvr_isinfo_v65_t*>(info));
  AppendLine(out, kSlpName, FieldText(info->slpname));
  return out;
}

int VADIZUImageInfo::ParseLine(std::string_view line,
                               std::string_view& value) const {
  value = std::string_view();
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return kUnknownKey;
  const std::string_view name = line.substr(0, equals);
  const std::string_view* keys = KeyNames();
  for (int key = 0; key < kKeyCount; ++key) {
    if (name == keys[key]) {
      value = line.substr(equals + 1);
      return key;
    }
  }
  return kUnknownKey;
}

void VADIZUImageInfo::ParseLines(const std::vector<std::string_view>& lines,
                                 BDImageInfo& info) const {
  memset(&info, 0, sizeof(info));
  sts_image_info_v10_t& props = info.properties;
  sts_image_def_v10_t& def = props.def;
  // Identity fields are stored whatever the id and tag say; both product
  // records share the leading fields, and IS_SLPNAME has the v701 place.
  stskvr_isinfo_v701_t& product = def.isid.info.v701;
  std::string_view value;
  for (std::string_view line : lines) {
    switch (ParseLine(line, value)) {
      case kWriteCount: _convert_value(value, info.writeCount); break;
      case kBaseName: StoreText(def.basename, value); break;
      case kDate: StoreText(def.date, value); break;
      case kFullDate: StoreText(def.fulldate, value); break;
      case kPolicy: StoreText(def.policy, value); break;
      case kSaveAs: _convert_value(value, def.saveas); break;
      case kFormat: StoreText(def.format, value); break;
      case kFlags: _convert_value(value, def.flags); break;
      case kVersion: _convert_value(value, def.version); break;
      case kDpaId: StoreText(def.isid.dpaid, value); break;
      case kDpaVer: StoreText(def.isid.dpaver, value); break;
      case kMaster: StoreText(product.master, value); break;
      case kTime: _convert_value(value, product.time); break;
      case kCopy: _convert_value(value, product.copy); break;
      case kStream: _convert_value(value, product.stream); break;
      case kType: product.type = ConvertSigned(value); break;
      case kFragment: _convert_value(value, product.fragment); break;
      case kInstance: _convert_value(value, product.instance); break;
      case kClient: StoreText(product.client, value); break;
      case kSlpName: StoreText(product.slpname, value); break;
      case kSize: _convert_value(value, props.size); break;
      case kBlockSize: _convert_value(value, props.blocksize); break;
      case kStatus: _convert_value(value, props.status); break;
      default: break;  // no known key: the line is ignored
    }
  }
}
