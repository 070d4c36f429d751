// Hostile names: base names, dates, policies and LSU names holding '/', "..",
// control bytes or 1023 characters. Whatever each call returns, nothing may
// be created, changed or removed outside the LSU directory; files the plug-in
// makes lie directly in the LSU directory, and deleting the image removes
// them all. The whole scratch tree is compared before and after.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "harness.h"

namespace reliability {
namespace {

// Scratch layout: <root>/outer/lsu is the LSU; the rest are bystanders a
// path escaping the LSU could hit.
constexpr char kLsuRel[] = "outer/lsu";

struct HostileCase {
  const char* label;
  std::string basename;
  std::string date;
  std::string policy;
  std::string lsu_suffix;  // appended to the LSU path ("" = the LSU itself)
};

HostileCase Case(const char* label, const std::string& basename,
                 const std::string& date = kImageDate,
                 const std::string& policy = "reliability",
                 const std::string& lsu_suffix = "") {
  return HostileCase{label, basename, date, policy, lsu_suffix};
}

std::string Long(char c) { return std::string(1023, c); }

std::vector<HostileCase> Cases() {
  return {
      Case("parent traversal in base name", "../../escaped"),
      Case("absolute base name", "/tmp/escaped"),
      Case("slash in base name", "a/b"),
      Case("dot base name", "."),
      Case("dot-dot base name", ".."),
      Case("control bytes in base name", "ctl\x01\x1f\x7f\n\r\tname"),
      Case("1023-byte base name", Long('b')),
      Case("1023 slashes and dots", std::string(341, '.') +
                                        std::string(341, '/') +
                                        std::string(341, '.')),
      Case("empty base name, traversing date", "", "/../../escaped"),
      Case("empty base name, dot-dot date", "", "./../escaped"),
      Case("empty base name, date reaching a bystander", "", "/../../keep"),
      Case("empty base name, date reaching the parent", "", "/../keep"),
      Case("traversing date", "img", "/../../../escaped"),
      Case("slash in date", "img", "2024/01/01"),
      Case("control bytes in date", "img", "\x01\n\x7f"),
      Case("31-byte date", "img", std::string(31, '9')),
      Case("spaces in date", "img", "01 02 03"),
      Case("newline in policy", "img", kImageDate, "p\nIMO_STATUS=4"),
      Case("1023-byte policy", "img", kImageDate, Long('p')),
      Case("LSU with trailing slash", "img", kImageDate, "reliability", "/"),
      Case("LSU ending in dot-dot", "img", kImageDate, "reliability", "/.."),
      Case("LSU ending in dot", "img", kImageDate, "reliability", "/."),
      Case("LSU through its parent", "img", kImageDate, "reliability",
           "/../lsu"),
      Case("LSU with control bytes", "img", kImageDate, "reliability",
           "\n\x01"),
      Case("LSU of 1023 bytes", "img", kImageDate, "reliability",
           "/" + Long('l').substr(0, 1000)),
  };
}

void CopyField(char* dst, size_t size, const std::string& text) {
  memset(dst, 0, size);
  memcpy(dst, text.data(), std::min(text.size(), size - 1));
}

// Everything the host can do with one image, statuses ignored: the checks
// are on the tree. `mid` is taken before the final delete, so a file made
// outside and removed again by the delete is still caught. Returns the
// create status.
int ExerciseImage(const sts_lsu_name_v7_t& lsu, const sts_image_def_v10_t& def,
                  const std::string& root, TreeSnapshot* mid) {
  LogCapture log;
  stsp_image_handle_s* image = nullptr;
  int created =
      vadizu_create_image(&lsu, log.session(), Server(), &def, 0, &image);
  if (created == STS_EOK) {
    std::vector<uint8_t> buf(4096, 0x5a);
    sts_stat_v7_t stat{};
    stat.length = 64;
    uint64_t count = 0;
    vadizu_write_image(image, &stat, buf.data(), buf.size(), 0, &count);
    vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE);
    if (vadizu_open_image(&lsu, log.session(), Server(), &def,
                          VADIZU_OPEN_WRITE, &image) == STS_EOK) {
      vadizu_close_image(image, VADIZU_CLOSE_COMPLETE);
    }
  }
  if (vadizu_open_image(&lsu, log.session(), Server(), &def, VADIZU_OPEN_READ,
                        &image) == STS_EOK) {
    std::vector<uint8_t> buf(4096);
    uint64_t count = 0;
    vadizu_read_image(image, buf.data(), buf.size(), 0, &count);
    vadizu_close_image(image, 0);
  }
  sts_image_info_v10_t info;
  vadizu_get_image_prop_byname(&lsu, log.session(), Server(), &def, &info);
  int listed;
  ListBaseNames(lsu, &listed);
  *mid = SnapshotTree(root);
  vadizu_delete_image(&lsu, log.session(), Server(), &def, 0);
  return created;
}

TEST(HostileNames, NothingOutsideTheLsuIsTouched) {
  Library library;
  int created_count = 0;
  for (const HostileCase& c : Cases()) {
    SCOPED_TRACE(c.label);
    ScratchDir scratch;
    std::string lsu_dir = scratch.Sub("outer") + "/lsu";
    mkdir(lsu_dir.c_str(), 0755);
    scratch.Sub("outer/sibling");
    for (const char* bystander : {"keep.info", "keep.img", "outer/keep.info",
                                  "outer/keep.img", "outer/sibling/img.info"}) {
      close(open((scratch.path() + "/" + bystander).c_str(), O_CREAT | O_WRONLY,
                 0644));
    }
    TreeSnapshot before = SnapshotTree(scratch.path());

    sts_lsu_name_v7_t lsu = MakeLsu(lsu_dir + c.lsu_suffix);
    sts_image_def_v10_t def = MakeDef("x");
    CopyField(def.basename, sizeof def.basename, c.basename);
    CopyField(def.date, sizeof def.date, c.date);
    CopyField(def.policy, sizeof def.policy, c.policy);
    int fds = OpenFdCount();
    TreeSnapshot mid;
    int created = ExerciseImage(lsu, def, scratch.path(), &mid);
    EXPECT_EQ(fds, OpenFdCount());

    TreeSnapshot after = SnapshotTree(scratch.path());
    for (const TreeSnapshot* state : {&mid, &after}) {
      for (const std::string& d : DiffTrees(before, *state, kLsuRel)) {
        ADD_FAILURE() << "outside the LSU "
                      << (state == &mid ? "before" : "after")
                      << " delete: " << d << " (create returned " << created
                      << ")";
      }
    }
    // The image lay in the LSU itself, and the delete removed all of it.
    int files_in_lsu = 0;
    for (const auto& [path, entry] : mid) {
      if (path.compare(0, sizeof kLsuRel, std::string(kLsuRel) + "/") != 0) {
        continue;
      }
      ++files_in_lsu;
      EXPECT_EQ(std::string::npos, path.find('/', sizeof kLsuRel)) << path;
    }
    EXPECT_EQ(std::vector<std::string>{}, ListDir(lsu_dir));
    if (created == STS_EOK) {
      ++created_count;
      EXPECT_GE(files_in_lsu, 2) << "image files not in the LSU directory";
    }
  }
  EXPECT_GT(created_count, 0);
  printf("hostile names: %zu cases, %d created an image\n", Cases().size(),
         created_count);
}

}  // namespace
}  // namespace reliability
