// Image lists through the exported functions: which entries of an LSU are
// images, the selection flags, the snapshot taken at open, exhaustion.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "host.h"

namespace {

using Listing = std::multiset<std::string>;  // "basename/flags" per result

class ListTest : public host::HostTest {
 protected:
  // Lists `lsu` to the end, keeping every result whole in `defs` when given;
  // `after_open` runs between the open and the first result. Past the end
  // the list answers no entry, quietly, and leaves the record alone; once
  // closed, its handle is refused.
  Listing ListAll(const sts_lsu_name_v7_t& lsu, int flags,
                  std::vector<sts_image_def_v10_t>* defs = nullptr,
                  const std::function<void()>& after_open = nullptr) {
    stsp_image_list_handle_s* list = nullptr;
    EXPECT_EQ(STS_EOK,
              vadizu_open_image_list(&lsu, log_.get(), server_, flags, &list));
    if (after_open) after_open();
    Listing seen;
    sts_image_def_v10_t def;
    int rc;
    while ((rc = vadizu_list_image(list, &def)) == STS_EOK) {
      seen.insert(std::string(def.basename) + "/" + std::to_string(def.flags));
      if (defs) defs->push_back(def);
    }
    EXPECT_EQ(STS_ENOENT, rc);
    const size_t lines = log_.lines().size();
    std::memset(&def, 0xab, sizeof def);
    EXPECT_EQ(STS_ENOENT, vadizu_list_image(list, &def));
    EXPECT_EQ('\xab', def.basename[0]);
    EXPECT_EQ(lines, log_.lines().size());
    EXPECT_EQ(STS_EOK, vadizu_close_image_list(list));
    EXPECT_EQ(STS_EINVAL, vadizu_close_image_list(list));
    return seen;
  }
};

TEST_F(ListTest, FlagsSelectImagesAndEverythingElseIsSkipped) {
  sts_image_def_v10_t zero = host::MakeDef(
      "zero", "d", VADIZU_SAVEAS_IMAGE | VADIZU_SAVEAS_CLEAR_FILES);
  std::strcpy(zero.isid.dpaid, "Kestrevon");
  std::strcpy(zero.isid.dpaver, "KVR_75");
  std::strcpy(zero.isid.info.v701.master, "m1");
  std::strcpy(zero.isid.info.v701.slpname, "slp");
  zero.isid.info.v701.type = -2;
  MakeImage(zero, "data", VADIZU_CLOSE_COMPLETE);
  stsp_image_handle_s* writing = nullptr;  // still being written while listed
  ASSERT_EQ(STS_EOK, Create(host::MakeDef("writing"), &writing));
  MakeImage(host::MakeDef("a/b", "d", 4, VADIZU_IMAGE_KIND1), "data", 1);
  MakeImage(host::MakeDef("flagged", "d", 4,
                          VADIZU_IMAGE_KIND1 | VADIZU_IMAGE_CREATE_FLAGGED),
            "", 0);
  host::WriteFile(dir_.File("legacy"), "");
  MakeImage(host::MakeDef("legacy", "d", 4, VADIZU_IMAGE_LEGACY), "", 1);
  MakeImage(host::MakeDef("", "e"), "", 1);  // empty basename: .e.info
  ASSERT_EQ(0, mkdir(dir_.File("sub").c_str(), 0700));
  ASSERT_EQ(0, mkdir(dir_.File("dir.info").c_str(), 0700));
  ASSERT_EQ(0, symlink("nowhere", dir_.File("dangling.info").c_str()));
  ASSERT_EQ(0, mkfifo(dir_.File("fifo.d.info").c_str(), 0600));  // no wait
  ASSERT_EQ(0, symlink("legacy.info", dir_.File("link.info").c_str()));
  for (const char* name :
       {"notes.txt", "x.INFO", "x.info.bak", "sub/x.d.info"}) {
    host::WriteFile(dir_.File(name), "IMG_BASENAME=x\nIMG_FLAGS=0\n");
  }
  host::WriteFile(dir_.File("no.d.info"), "no keys here\n");
  host::WriteFile(dir_.File("three.d.info"), "IMG_BASENAME=t\nIMG_FLAGS=3\n");
  if (geteuid() != 0) {  // root reads files whatever their mode
    host::WriteFile(dir_.File("secret.d.info"),
                    "IMG_BASENAME=s\nIMG_FLAGS=0\n");
    ASSERT_EQ(0, chmod(dir_.File("secret.d.info").c_str(), 0));
  }
  const Listing kind1 = {"a/b/1", "flagged/1"}, kind0 = {"zero/0", "writing/0"};
  for (int flags = 0; flags <= 7; ++flags) {
    Listing expected;
    if (flags & VADIZU_LIST_KIND1) expected.insert(kind1.begin(), kind1.end());
    if (flags & VADIZU_LIST_KIND0) expected.insert(kind0.begin(), kind0.end());
    if (flags & VADIZU_LIST_LEGACY) expected.insert({"legacy/2", "legacy/2"});
    EXPECT_EQ(expected, ListAll(lsu_, flags)) << "flags " << flags;
  }
  std::vector<sts_image_def_v10_t> defs;  // a result is the whole definition
  ListAll(lsu_, VADIZU_LIST_KIND0, &defs);
  for (const sts_image_def_v10_t& def : defs) {
    if (std::strcmp(def.basename, "zero") == 0) {
      EXPECT_EQ(0, std::memcmp(&zero, &def, sizeof def));
    }
  }
  EXPECT_EQ(STS_EOK, vadizu_close_image(writing, 0));
}

// Texts the host filled to the last byte come back terminated: by handle,
// by name and from a listing.
TEST_F(ListTest, TextsThatFilledTheirArraysComeBackTerminated) {
  sts_image_def_v10_t def = host::MakeDef("full");
  std::memset(def.policy, 'p', sizeof def.policy);
  std::memset(def.format, 'f', sizeof def.format);
  stsp_image_handle_s* image = nullptr;
  ASSERT_EQ(STS_EOK, Create(def, &image));
  sts_image_info_v10_t by_handle, by_name;
  ASSERT_EQ(STS_EOK, vadizu_get_image_prop(image, &by_handle));
  ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  ASSERT_EQ(STS_EOK, PropsByName(def, &by_name));
  std::vector<sts_image_def_v10_t> listed;
  ListAll(lsu_, VADIZU_LIST_ALL, &listed);
  ASSERT_EQ(1u, listed.size());
  for (const sts_image_def_v10_t* got : {&by_handle.def, &by_name.def, &listed[0]}) {
    EXPECT_EQ(1023u, strnlen(got->policy, sizeof got->policy));
    EXPECT_EQ(15u, strnlen(got->format, sizeof got->format));
  }
}

// An empty LSU lists nothing; the LSU with or without a trailing slash, a
// record the host reuses after the open, a 511-character server name: the
// same listing, taken at open.
TEST_F(ListTest, ListIsASnapshotAtOpenWhateverTheHostDoesWithItsRecords) {
  sts_image_def_v10_t gone = host::MakeDef("gone");
  MakeImage(gone, "1", 1);
  MakeImage(host::MakeDef("stays"), "2", 0);
  const Listing both = {"gone/0", "stays/0"};
  host::ScratchDir empty;
  EXPECT_EQ(Listing{}, ListAll(host::MakeLsu(empty.path()), VADIZU_LIST_ALL));
  EXPECT_EQ(both, ListAll(host::MakeLsu(dir_.path() + "/"), VADIZU_LIST_ALL));
  sts_lsu_name_v7_t lsu = host::MakeLsu(dir_.path());
  EXPECT_EQ(both, ListAll(lsu, VADIZU_LIST_ALL, nullptr, [&] {
              std::strcpy(lsu.name, "/nonexistent");
            }));
  std::memset(server_, 'S', 511);
  EXPECT_EQ(Listing{"stays/0"}, ListAll(lsu_, VADIZU_LIST_ALL, nullptr, [&] {
              MakeImage(host::MakeDef("late"), "3", 1);
              EXPECT_EQ(STS_EOK, Delete(gone));
            }));
  char server[513] = {};
  std::memset(server, 'S', 512);
  stsp_image_list_handle_s* list = nullptr;
  log_.Clear();
  EXPECT_EQ(STS_EINVAL, vadizu_open_image_list(&lsu_, log_.get(), server,
                                               VADIZU_LIST_ALL, &list));
  EXPECT_EQ(std::vector<sts_severity_v7_t>{4}, log_.Severities());
}

}  // namespace
