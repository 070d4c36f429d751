// ls, stat and rm: what an LSU holds, one image's properties, and removal.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "progress.h"

namespace vadizu_tool {
namespace {

constexpr OptionSpec kJsonOption = {"json", 0, nullptr,
                                    "print JSON for scripts instead of text"};

// One property of an image, shown as "key: value" to people and as a JSON
// member to scripts.
struct Field {
  const char* key;
  std::string value;
  bool is_number;
};

const char* StatusText(uint32_t status) {
  if (status & VADIZU_STATUS_WRITING) return "being written";
  if (status & VADIZU_STATUS_COMPLETE) return "complete";
  if (status & VADIZU_STATUS_INCOMPLETE) return "incomplete";
  return "unknown";
}

std::vector<Field> Fields(const sts_image_info_v10_t& info) {
  const sts_image_def_v10_t& def = info.def;
  auto number = [](uint64_t value) { return std::to_string(value); };
  return {
      {"name", VADIZU_FIELD(def.basename), false},
      {"date", VADIZU_FIELD(def.date), false},
      {"fulldate", VADIZU_FIELD(def.fulldate), false},
      {"policy", VADIZU_FIELD(def.policy), false},
      {"size", number(info.size), true},
      {"blocksize", number(info.blocksize), true},
      {"status", StatusText(info.status), false},
      {"status_bits", number(info.status), true},
      {"flags", number(def.flags), true},
      {"saveas", number(def.saveas), true},
      {"format", VADIZU_FIELD(def.format), false},
      {"lsu", VADIZU_FIELD(info.lsu.name), false},
  };
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonObject(const std::vector<Field>& fields) {
  std::string out = "{";
  for (const Field& field : fields) {
    if (out.size() > 1) out += ", ";
    out += JsonQuote(field.key) + ": " +
           (field.is_number ? field.value : JsonQuote(field.value));
  }
  return out + "}";
}

bool NameThenDate(const sts_image_info_v10_t& a,
                  const sts_image_info_v10_t& b) {
  int by_name = std::strcmp(a.def.basename, b.def.basename);
  if (by_name != 0) return by_name < 0;
  return std::strcmp(a.def.date, b.def.date) < 0;
}

// Every image the list yields, with its properties. An image removed
// between the listing and the property query is left out.
int CollectImages(Host& host, const sts_lsu_name_v7_t& lsu, uint32_t flags,
                  std::vector<sts_image_info_v10_t>* images) {
  const std::string where = VADIZU_FIELD(lsu.name);
  stsp_image_list_handle_s* handle = nullptr;
  int status = host.api().open_image_list(&lsu, host.session(), host.server(),
                                          static_cast<int>(flags), &handle);
  if (status != STS_EOK) {
    return Host::Fail("cannot list " + where, status, where);
  }
  ImageListHandle list(host.api(), handle);
  for (;;) {
    sts_image_def_v10_t def{};
    status = host.api().list_image(list.get(), &def);
    if (status == STS_ENOENT) return kExitOk;
    if (status != STS_EOK) return Host::Fail("listing " + where, status);
    sts_image_info_v10_t info{};
    status = host.api().get_image_prop_byname(&lsu, host.session(),
                                              host.server(), &def, &info);
    if (status == STS_ENOENT) continue;
    if (status != STS_EOK) return Host::Fail("listing " + where, status);
    images->push_back(info);
  }
}

void PrintJsonList(const std::vector<sts_image_info_v10_t>& images) {
  std::printf("[");
  for (size_t i = 0; i < images.size(); ++i) {
    std::printf("%s\n  %s", i == 0 ? "" : ",",
                JsonObject(Fields(images[i])).c_str());
  }
  std::printf("%s]\n", images.empty() ? "" : "\n");
}

void PrintTable(const std::vector<sts_image_info_v10_t>& images) {
  std::vector<std::vector<std::string>> rows = {
      {"NAME", "DATE", "SIZE", "STATUS", "POLICY"}};
  for (const sts_image_info_v10_t& info : images) {
    rows.push_back({VADIZU_FIELD(info.def.basename),
                    VADIZU_FIELD(info.def.date), std::to_string(info.size),
                    StatusText(info.status), VADIZU_FIELD(info.def.policy)});
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      width[c] = std::max(width[c], row[c].size());
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c + 1 < row.size(); ++c) {
      line += row[c] + std::string(width[c] - row[c].size() + 2, ' ');
    }
    std::printf("%s%s\n", line.c_str(), row.back().c_str());
  }
}

int RunList(Host& host, const Arguments& args) {
  const uint32_t flags = args.Has("flags")
                             ? ParseUnsigned32(args.Value("flags"), "flags")
                             : VADIZU_LIST_ALL;
  const sts_lsu_name_v7_t lsu = MakeLsuName(args.positional()[0]);
  std::vector<sts_image_info_v10_t> images;
  int exit_code = CollectImages(host, lsu, flags, &images);
  if (exit_code != kExitOk) return exit_code;
  std::sort(images.begin(), images.end(), NameThenDate);
  if (args.Has("json")) {
    PrintJsonList(images);
  } else {
    PrintTable(images);
  }
  return kExitOk;
}

int RunStat(Host& host, const Arguments& args) {
  const ImageKey key = KeyFromArguments(args);
  const sts_image_def_v10_t def = DefinitionFromArguments(args, key);
  const sts_lsu_name_v7_t lsu = MakeLsuName(key.lsu);
  sts_image_info_v10_t info{};
  int status = host.api().get_image_prop_byname(&lsu, host.session(),
                                                host.server(), &def, &info);
  if (status != STS_EOK) {
    return Host::Fail("cannot stat " + key.Describe(), status, key.lsu);
  }
  const std::vector<Field> fields = Fields(info);
  if (args.Has("json")) {
    std::printf("%s\n", JsonObject(fields).c_str());
    return kExitOk;
  }
  for (const Field& field : fields) {
    std::printf("%-12s %s\n", (std::string(field.key) + ":").c_str(),
                field.value.c_str());
  }
  return kExitOk;
}

int RunRemove(Host& host, const Arguments& args) {
  const ImageKey key = KeyFromArguments(args);
  const sts_image_def_v10_t def = DefinitionFromArguments(args, key);
  const sts_lsu_name_v7_t lsu = MakeLsuName(key.lsu);
  int status =
      host.api().delete_image(&lsu, host.session(), host.server(), &def, 0);
  if (status != STS_EOK) {
    return Host::Fail("cannot remove " + key.Describe(), status, key.lsu);
  }
  std::printf("removed %s\n", key.Describe().c_str());
  return kExitOk;
}

}  // namespace

const Command kListCommand = {
    "ls",
    "LSU",
    1,
    1,
    "list the images of an LSU",
    "One row per image, sorted by name and then date: size in bytes, status\n"
    "(complete, incomplete, or being written) and policy. --flags selects\n"
    "image kinds as the plug-in's list call does: 1 kind 1, 2 kind 0,\n"
    "4 legacy; the default 7 lists all.",
    {{"flags", 0, "N", "image kinds to list (default 7, all)"}, kJsonOption},
    RunList,
};

const Command kStatCommand = {
    "stat",
    "LSU NAME --date DATE",
    2,
    2,
    "show the properties of one image",
    nullptr,
    {kDateOption, kLegacyOption, kJsonOption},
    RunStat,
};

const Command kRemoveCommand = {
    "rm",
    "LSU NAME --date DATE",
    2,
    2,
    "remove an image and all its files",
    nullptr,
    {kDateOption, kLegacyOption},
    RunRemove,
};

}  // namespace vadizu_tool
