// The library's face: initialisation counting and what the last terminate
// does to live handles.

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

}  // namespace
