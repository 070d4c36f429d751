// The library's face: initialisation counting, what the last terminate
// does to live handles, and the exported symbol set.
#include <cstdio>
#include <set>

#include "host.h"

namespace {

class ManagerTest : public host::HostTest {};

TEST_F(ManagerTest, InitIsCountedAndTheLastTerminateEndsEveryHandle) {
  ASSERT_EQ(STS_EOK, vadizu_terminate());  // no manager from here
  sts_image_def_v10_t def = host::MakeDef("img"), orphan = host::MakeDef("o");
  stsp_image_handle_s *image = nullptr, *writer = nullptr;
  stsp_image_list_handle_s* list = nullptr;
  EXPECT_EQ(STS_EPLUGINVERSION, vadizu_init(9));
  EXPECT_EQ(STS_EINIT, Create(def, &image));
  EXPECT_EQ(STS_EINIT, vadizu_terminate());
  ASSERT_EQ(STS_EOK, vadizu_init(10));
  ASSERT_EQ(STS_EOK, vadizu_init(11));
  ASSERT_EQ(STS_EOK, Create(def, &image));
  ASSERT_EQ(STS_EOK, Create(orphan, &writer));
  ASSERT_EQ(STS_EOK, vadizu_open_image_list(&lsu_, log_.get(), server_,
                                            VADIZU_LIST_ALL, &list));
  ASSERT_EQ(STS_EOK, vadizu_terminate());
  uint64_t written = 0;
  EXPECT_EQ(STS_EOK, Write(image, "abc", 0, nullptr, &written));
  EXPECT_EQ(3u, written);
  ASSERT_EQ(STS_EOK, vadizu_terminate());  // the last one: every handle dies
  written = 777;
  EXPECT_EQ(STS_EINIT, Write(image, "abc", 0, nullptr, &written));
  EXPECT_EQ(777u, written);
  sts_image_def_v10_t listed;
  EXPECT_EQ(STS_EINIT, vadizu_list_image(list, &listed));
  EXPECT_EQ(STS_EINIT, vadizu_close_image(writer, VADIZU_CLOSE_COMPLETE));
  EXPECT_EQ(STS_EINIT, vadizu_terminate());
  EXPECT_TRUE(log_.lines().empty());
  EXPECT_EQ("1,33", State(orphan));  // its writer ended without closing
  ASSERT_EQ(STS_EOK, vadizu_init(10));  // a new manager knows no old handle
  EXPECT_EQ(STS_EINVAL, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  EXPECT_EQ(STS_EBUSY, Open(orphan, VADIZU_OPEN_WRITE, &writer));
}

TEST(ExportTest, OnlyTheThirteenEntryPointsLeaveTheLibrary) {
  const std::string command =
      std::string("nm -D --defined-only -j ") + VADIZU_LIBRARY_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> symbols;
  for (char name[512]; fscanf(pipe, "%511s", name) == 1;) symbols.insert(name);
  ASSERT_EQ(0, pclose(pipe));
  const std::set<std::string> expected = {
      "vadizu_init",            "vadizu_terminate",
      "vadizu_create_image",    "vadizu_open_image",
      "vadizu_close_image",     "vadizu_read_image",
      "vadizu_write_image",     "vadizu_delete_image",
      "vadizu_get_image_prop",  "vadizu_get_image_prop_byname",
      "vadizu_open_image_list", "vadizu_list_image",
      "vadizu_close_image_list"};
  EXPECT_EQ(expected, symbols);
}

}  // namespace
