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

// Texts that fill their arrays come back terminated: by handle, by name and
// from a listing.
TEST_F(ListTest, FlagsSelectImagesAndEverythingElseIsSkipped) {
  sts_image_def_v10_t zero = host::MakeDef("zero", "d", host::kSaveAsDataAndMeta);
  std::strcpy(zero.isid.dpaid, "Kestrevon");
  std::strcpy(zero.isid.dpaver, "KVR_75");
  std::strcpy(zero.isid.info.v701.master, "m1");
  std::strcpy(zero.isid.info.v701.slpname, "slp");
  zero.isid.info.v701.type = -2;
  std::memset(zero.policy, 'p', sizeof zero.policy);
  std::memset(zero.format, 'f', sizeof zero.format);
  sts_image_def_v10_t writing_def = zero;
  std::strcpy(writing_def.basename, "writing");
  stsp_image_handle_s* writing = nullptr;  // still being written while listed
  ASSERT_EQ(STS_EOK, Create(writing_def, &writing));
  MakeImage(zero, "data", VADIZU_CLOSE_COMPLETE);
  zero.policy[sizeof zero.policy - 1] = zero.format[sizeof zero.format - 1] = 0;
  sts_image_info_v10_t by_handle, by_name;
  ASSERT_EQ(STS_EOK, vadizu_get_image_prop(writing, &by_handle));
  ASSERT_EQ(STS_EOK, PropsByName(zero, &by_name));
  EXPECT_EQ(sizeof zero.policy - 1, strnlen(by_handle.def.policy, sizeof zero.policy));
  EXPECT_EQ(sizeof zero.format - 1, strnlen(by_handle.def.format, sizeof zero.format));
  EXPECT_EQ(0, std::memcmp(&zero, &by_name.def, sizeof zero));
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
