// Hostile names: base names, dates, policies and LSU names holding '/',
// "..", control bytes or 1023 characters. Whatever each call returns,
// nothing may be created, changed or removed outside the LSU directory (the
// whole scratch tree is compared before and after), the files the plug-in
// makes lie directly in the LSU directory, and deleting the image removes
// them all.
#include <sys/stat.h>

#include <filesystem>

#include "host.h"

namespace {

// Scratch layout: <root>/outer/lsu is the LSU; the rest are bystanders a
// path escaping the LSU could hit.
const std::string kLsuRel = "outer/lsu";
const char* const kBystanders[] = {"keep.d.info", "keep.d.img",
                                   "outer/keep.d.info", "outer/keep.d.img",
                                   "outer/sibling/img.d.info"};

struct Case {
  const char* label;
  std::string basename, date, policy, lsu_suffix;
};

const std::string kLong(1023, 'x');
const Case kCases[] = {
    {"base name reaching a bystander", "../../keep", "d", "p", ""},
    {"1023-byte base name", kLong, "d", "p", ""},
    {"1023 slashes and dots",
     std::string(341, '.') + std::string(341, '/') + std::string(341, '.'), "d",
     "p", ""},
    {"empty base name, traversing date", "", "/../../escaped", "p", ""},
    {"empty base name, dot-dot date", "", "./../escaped", "p", ""},
    {"empty base name, date reaching a bystander", "", "/../../keep.d", "p",
     ""},
    {"empty base name, date reaching the parent", "", "/../keep.d", "p", ""},
    {"traversing date", "img", "/../../../escaped", "p", ""},
    {"slash in date", "img", "2024/01/01", "p", ""},
    {"control bytes in date", "img", "\x01\n\x7f", "p", ""},
    {"31-byte date", "img", std::string(31, '9'), "p", ""},
    {"spaces in date", "img", "01 02 03", "p", ""},
    {"newline in policy", "img", "d", "p\nIMO_STATUS=4", ""},
    {"1023-byte policy", "img", "d", kLong, ""},
    {"LSU with trailing slash", "img", "d", "p", "/"},
    {"LSU ending in dot-dot", "img", "d", "p", "/.."},
    {"LSU ending in dot", "img", "d", "p", "/."},
    {"LSU through its parent", "img", "d", "p", "/../lsu"},
    {"LSU with control bytes", "img", "d", "p", "\n\x01"},
    {"LSU of 1023 bytes", "img", "d", "p", "/" + kLong.substr(0, 1000)},
};

// Relative path -> type, inode, and for files size and change time, of
// everything outside the LSU directory.
std::map<std::string, std::string> Outside(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(root)) {
    std::string rel = entry.path().string().substr(root.size() + 1);
    if (rel == kLsuRel ||
        rel.compare(0, kLsuRel.size() + 1, kLsuRel + "/") == 0) {
      continue;
    }
    struct stat st;
    lstat(entry.path().c_str(), &st);
    tree[rel] = std::to_string(st.st_mode) + " " + std::to_string(st.st_ino);
    if (!S_ISDIR(st.st_mode)) {
      tree[rel] += " " + std::to_string(st.st_size) + " " +
                   std::to_string(st.st_mtim.tv_sec) + "." +
                   std::to_string(st.st_mtim.tv_nsec);
    }
  }
  return tree;
}

// Everything a host does with one image, statuses ignored: the checks are on
// the tree. `*in_lsu` lists the LSU before the final delete, `*outside` the
// rest, so that a file made outside and removed by the delete still shows.
int Exercise(const sts_lsu_name_v7_t& lsu, const sts_image_def_v10_t& def,
             const std::string& root, std::vector<std::string>* in_lsu,
             std::map<std::string, std::string>* outside) {
  host::LogSession log;
  stsp_image_handle_s* image = nullptr;
  int created =
      vadizu_create_image(&lsu, log.get(), host::Server(), &def, 0, &image);
  if (created == STS_EOK) {
    host::WriteContent(image, "x", 0, 4096, 4096);
    vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE);
    if (vadizu_open_image(&lsu, log.get(), host::Server(), &def,
                          VADIZU_OPEN_WRITE, &image) == STS_EOK) {
      vadizu_close_image(image, VADIZU_CLOSE_COMPLETE);
    }
  }
  if (vadizu_open_image(&lsu, log.get(), host::Server(), &def, VADIZU_OPEN_READ,
                        &image) == STS_EOK) {
    uint64_t got;
    int64_t mismatch;
    host::ReadAndCheck(image, "x", 4096, &got, &mismatch);
    vadizu_close_image(image, 0);
  }
  sts_image_info_v10_t info;
  vadizu_get_image_prop_byname(&lsu, log.get(), host::Server(), &def, &info);
  int listed;
  host::ListBaseNames(lsu, &listed, log.get());
  std::string lsu_dir = root + "/" + kLsuRel;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(lsu_dir)) {
    in_lsu->push_back(entry.path().string().substr(lsu_dir.size() + 1));
  }
  *outside = Outside(root);
  vadizu_delete_image(&lsu, log.get(), host::Server(), &def, 0);
  return created;
}

TEST(HostileNames, NothingOutsideTheLsuIsTouched) {
  host::Library library;
  int created_count = 0;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.label);
    host::ScratchDir scratch;
    std::string lsu_dir = scratch.Sub("outer") + "/lsu";
    mkdir(lsu_dir.c_str(), 0755);
    scratch.Sub("outer/sibling");
    for (const char* bystander : kBystanders)
      host::WriteFile(scratch.File(bystander), "");
    auto before = Outside(scratch.path());
    sts_image_def_v10_t def = host::MakeDef(c.basename, c.date);
    snprintf(def.policy, sizeof def.policy, "%s", c.policy.c_str());
    int fds = host::OpenFdCount();
    std::vector<std::string> in_lsu;
    std::map<std::string, std::string> mid;
    int created = Exercise(host::MakeLsu(lsu_dir + c.lsu_suffix), def,
                           scratch.path(), &in_lsu, &mid);
    EXPECT_EQ(fds, host::OpenFdCount());
    EXPECT_EQ(before, mid) << "before the delete; create returned " << created;
    EXPECT_EQ(before, Outside(scratch.path())) << "after the delete";
    EXPECT_EQ(std::vector<std::string>{}, host::DirEntries(lsu_dir));
    for (const std::string& entry : in_lsu) {
      EXPECT_EQ(std::string::npos, entry.find('/')) << entry;
    }
    if (created == STS_EOK) {
      ++created_count;
      EXPECT_LE(2u, in_lsu.size()) << "image files not in the LSU directory";
    }
  }
  EXPECT_GT(created_count, 0);
  printf("hostile names: %zu cases, %d created an image\n", std::size(kCases),
         created_count);
}

}  // namespace
