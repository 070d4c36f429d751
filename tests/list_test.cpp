// Image lists through the exported functions: which entries of an LSU are
// images, the selection flags, the snapshot taken at open, exhaustion, and a
// large directory.
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>

#include "host.h"

namespace {

using Listing = std::multiset<std::string>;  // "basename/flags" per result

class ListTest : public host::HostTest {
 protected:
  Listing ListAll(const sts_lsu_name_v7_t& lsu, int flags) {
    stsp_image_list_handle_s* list = nullptr;
    EXPECT_EQ(STS_EOK, vadizu_open_image_list(&lsu, log_.get(), server_, flags, &list));
    Listing seen;
    sts_image_def_v10_t def;
    int rc;
    while ((rc = vadizu_list_image(list, &def)) == STS_EOK) {
      seen.insert(std::string(def.basename) + "/" + std::to_string(def.flags));
    }
    EXPECT_EQ(STS_ENOENT, rc);
    EXPECT_EQ(STS_EOK, vadizu_close_image_list(list));
    return seen;
  }
};

TEST_F(ListTest, FlagsSelectImagesAndEverythingElseIsSkipped) {
  sts_image_def_v10_t zero = host::MakeDef("zero", "d", VADIZU_SAVEAS_IMAGE | VADIZU_SAVEAS_CLEAR_FILES);
  std::strcpy(zero.isid.dpaid, "Kestrevon");
  std::strcpy(zero.isid.dpaver, "KVR_75");
  std::strcpy(zero.isid.info.v701.master, "m1");
  std::strcpy(zero.isid.info.v701.slpname, "slp");
  zero.isid.info.v701.type = -2;
  MakeImage(zero, "data", VADIZU_CLOSE_COMPLETE);
  stsp_image_handle_s* writing = nullptr;  // still being written while listed
  ASSERT_EQ(STS_EOK, Create(host::MakeDef("writing"), &writing));
  MakeImage(host::MakeDef("one", "d", 4, VADIZU_IMAGE_KIND1), "data", 1);
  MakeImage(host::MakeDef("flagged", "d", 4, VADIZU_IMAGE_KIND1 | VADIZU_IMAGE_CREATE_FLAGGED), "", 0);
  host::WriteFile(dir_.File("legacy"), "");
  MakeImage(host::MakeDef("legacy", "d", 4, VADIZU_IMAGE_LEGACY), "", 1);
  MakeImage(host::MakeDef("", "e"), "", 1);  // empty basename: .e.info
  for (const char* foreign : {"notes.txt", "x.INFO", "x.info.bak", "garbage.info"}) {
    host::WriteFile(dir_.File(foreign), "no keys here\n");
  }
  host::WriteFile(dir_.File("three.d.info"), "IMG_BASENAME=three\nIMG_FLAGS=3\n");
  ASSERT_EQ(0, mkdir(dir_.File("sub").c_str(), 0700));
  host::WriteFile(dir_.File("sub/inner.d.info"), "IMG_BASENAME=inner\nIMG_FLAGS=0\n");
  ASSERT_EQ(0, mkdir(dir_.File("dir.info").c_str(), 0700));  // unreadable as a file
  ASSERT_EQ(0, symlink("nowhere", dir_.File("dangling.info").c_str()));
  if (geteuid() != 0) {  // root reads files whatever their mode
    host::WriteFile(dir_.File("secret.d.info"), "IMG_BASENAME=secret\nIMG_FLAGS=0\n");
    ASSERT_EQ(0, chmod(dir_.File("secret.d.info").c_str(), 0));
  }
  const Listing kind1 = {"one/1", "flagged/1"}, kind0 = {"zero/0", "writing/0"}, legacy = {"legacy/2"};
  for (int flags = 0; flags <= 7; ++flags) {
    Listing expected;
    if (flags & VADIZU_LIST_KIND1) expected.insert(kind1.begin(), kind1.end());
    if (flags & VADIZU_LIST_KIND0) expected.insert(kind0.begin(), kind0.end());
    if (flags & VADIZU_LIST_LEGACY) expected.insert(legacy.begin(), legacy.end());
    EXPECT_EQ(expected, ListAll(lsu_, flags)) << "flags " << flags;
  }
  stsp_image_list_handle_s* list = nullptr;  // a result is the whole definition
  ASSERT_EQ(STS_EOK, vadizu_open_image_list(&lsu_, log_.get(), server_, VADIZU_LIST_KIND0, &list));
  sts_image_def_v10_t got;
  do ASSERT_EQ(STS_EOK, vadizu_list_image(list, &got));
  while (std::strcmp(got.basename, "zero") != 0);
  EXPECT_EQ(0, std::memcmp(&zero, &got, sizeof got));
  EXPECT_EQ(STS_EOK, vadizu_close_image_list(list));
  EXPECT_EQ(STS_EOK, vadizu_close_image(writing, 0));
}

TEST_F(ListTest, ExhaustedListAnswersNoEntryQuietlyForever) {
  host::ScratchDir empty;
  sts_lsu_name_v7_t empty_lsu = host::MakeLsu(empty.path());
  EXPECT_EQ(Listing{}, ListAll(empty_lsu, VADIZU_LIST_ALL));
  MakeImage(host::MakeDef("only"), "data", 1);
  EXPECT_EQ(Listing{}, ListAll(lsu_, 0));
  stsp_image_list_handle_s* list = nullptr;
  ASSERT_EQ(STS_EOK, vadizu_open_image_list(&lsu_, log_.get(), server_, VADIZU_LIST_KIND0, &list));
  sts_image_def_v10_t def;
  ASSERT_EQ(STS_EOK, vadizu_list_image(list, &def));
  for (int i = 0; i < 3; ++i) {
    std::memset(&def, 0xab, sizeof def);
    EXPECT_EQ(STS_ENOENT, vadizu_list_image(list, &def));
    EXPECT_EQ('\xab', def.basename[0]);
  }
  EXPECT_TRUE(log_.lines().empty());
  EXPECT_EQ(STS_EOK, vadizu_close_image_list(list));
  EXPECT_EQ(STS_EINVAL, vadizu_close_image_list(list));
}

TEST_F(ListTest, LsuNameWithOrWithoutSlashAndAReusedRecordListTheSame) {
  MakeImage(host::MakeDef("a"), "1", 1);
  MakeImage(host::MakeDef("b"), "2", 0);
  const Listing both = {"a/0", "b/0"};
  EXPECT_EQ(both, ListAll(host::MakeLsu(dir_.path()), VADIZU_LIST_ALL));
  EXPECT_EQ(both, ListAll(host::MakeLsu(dir_.path() + "/"), VADIZU_LIST_ALL));
  sts_lsu_name_v7_t lsu = host::MakeLsu(dir_.path());
  stsp_image_list_handle_s* list = nullptr;
  ASSERT_EQ(STS_EOK, vadizu_open_image_list(&lsu, log_.get(), server_, VADIZU_LIST_ALL, &list));
  std::strcpy(lsu.name, "/nonexistent");  // the host reuses its record
  sts_image_def_v10_t def;
  Listing seen;
  while (vadizu_list_image(list, &def) == STS_EOK) seen.insert(std::string(def.basename) + "/0");
  EXPECT_EQ(both, seen);
  EXPECT_EQ(STS_EOK, vadizu_close_image_list(list));
}

TEST_F(ListTest, ServerNamesUpTo511CharactersAreTaken) {
  MakeImage(host::MakeDef("s"), "1", 1);
  char server[513] = {};
  std::memset(server, 'S', 511);
  stsp_image_list_handle_s* list = nullptr;
  ASSERT_EQ(STS_EOK, vadizu_open_image_list(&lsu_, log_.get(), server, VADIZU_LIST_ALL, &list));
  sts_image_def_v10_t def;
  EXPECT_EQ(STS_EOK, vadizu_list_image(list, &def));
  EXPECT_EQ(STS_EOK, vadizu_close_image_list(list));
  server[511] = 'S';
  EXPECT_EQ(STS_EINVAL, vadizu_open_image_list(&lsu_, log_.get(), server, VADIZU_LIST_ALL, &list));
  EXPECT_EQ(std::vector<sts_severity_v7_t>{4}, log_.Severities());
}

TEST_F(ListTest, ListIsASnapshotOfTheDirectoryAtOpen) {
  sts_image_def_v10_t gone = host::MakeDef("gone");
  MakeImage(gone, "1", 1);
  MakeImage(host::MakeDef("stays"), "2", 1);
  stsp_image_list_handle_s* list = nullptr;
  ASSERT_EQ(STS_EOK, vadizu_open_image_list(&lsu_, log_.get(), server_, VADIZU_LIST_ALL, &list));
  MakeImage(host::MakeDef("late"), "3", 1);
  ASSERT_EQ(STS_EOK, vadizu_delete_image(&lsu_, log_.get(), server_, &gone, 0));
  sts_image_def_v10_t def;
  Listing seen;
  while (vadizu_list_image(list, &def) == STS_EOK) seen.insert(def.basename);
  EXPECT_EQ(Listing{"stays"}, seen);
  EXPECT_EQ(STS_EOK, vadizu_close_image_list(list));
}

TEST_F(ListTest, TenThousandImagesAreListedExactlyOnce) {
  constexpr int kImages = 10000;
  std::string why;  // small files are created far faster in memory
  auto in_memory = host::ScopedMount::Tmpfs(dir_.path(), "128m", &why);
  Listing expected;
  char name[32];
  for (int i = 0; i < kImages; ++i) {
    std::snprintf(name, sizeof name, "img%05d", i);
    host::WriteFile(dir_.File(std::string(name) + ".d.info"),
                    "WRITECOUNT=0\nIMG_BASENAME=" + std::string(name) + "\nIMG_FLAGS=0\nIMO_STATUS=4\n");
    expected.insert(std::string(name) + "/0");
  }
  size_t heap_before = mallinfo2().uordblks;
  auto start = std::chrono::steady_clock::now();
  stsp_image_list_handle_s* list = nullptr;
  ASSERT_EQ(STS_EOK, vadizu_open_image_list(&lsu_, log_.get(), server_, VADIZU_LIST_ALL, &list));
  size_t held = mallinfo2().uordblks - heap_before;
  Listing seen;
  sts_image_def_v10_t def;
  while (vadizu_list_image(list, &def) == STS_EOK) seen.insert(std::string(def.basename) + "/0");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(STS_EOK, vadizu_close_image_list(list));
  EXPECT_TRUE(seen == expected) << seen.size() << " results";
  std::printf("[ figures  ] listed %d images in %.3f s; the open list held %zu heap bytes\n",
              kImages, seconds, held);
}

}  // namespace
