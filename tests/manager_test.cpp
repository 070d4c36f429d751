// The library's face: initialisation counting and what the last terminate
// does to live handles, the frame's plain and logged argument checks, and
// the exported symbol set.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "host.h"

namespace {

// The source line that a log line's FILE= and LINE= name, found under src/.
std::string NamedSourceLine(const std::string& line) {
  const size_t at = line.find("FILE=../") + 8;
  const std::string name = line.substr(at, line.find(',', at) - at);
  std::string text = "no source file " + name;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(
           VADIZU_SOURCE_DIR "/src")) {
    if (entry.path().filename() != name) continue;
    std::ifstream in(entry.path());
    int n = std::stoi(line.substr(line.find("LINE=") + 5));
    while (n-- > 0) std::getline(in, text);
  }
  return text;
}

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

// Null handles, LSUs and servers are refused before the frame's guarded
// section, silently; a null output pointer, or a handle of the other kind,
// inside it, logged. The image and the list stay open throughout.
TEST_F(ManagerTest, BadArgumentsAreRefusedLoggedOnlyInsideTheFrame) {
  const sts_session_def_v7_t* s = log_.get();
  const sts_lsu_name_v7_t* lsu = &lsu_;
  sts_image_def_v10_t img = host::MakeDef("img");
  const sts_image_def_v10_t* def = &img;
  const char* srv = server_;
  stsp_image_handle_s* image = nullptr;
  stsp_image_list_handle_s* list = nullptr;
  ASSERT_EQ(STS_EOK, Create(img, &image));
  ASSERT_EQ(STS_EOK, vadizu_open_image_list(lsu, s, srv, 7, &list));
  char buf[8];
  uint64_t count;
  sts_image_info_v10_t info;
  sts_image_def_v10_t listed;
  const struct {
    const char* what;
    std::function<int()> call;
    const char* logged_as;  // null: not logged
  } cases[] = {
      {"create, null lsu", [&] { return vadizu_create_image(nullptr, s, srv, def, 0, &image); }, nullptr},
      {"create, null server", [&] { return vadizu_create_image(lsu, s, nullptr, def, 0, &image); }, nullptr},
      {"create, null out", [&] { return vadizu_create_image(lsu, s, srv, def, 0, nullptr); }, "CreateImage"},
      {"create, null definition", [&] { return vadizu_create_image(lsu, s, srv, nullptr, 0, &image); }, "CreateImage"},
      {"open, null lsu", [&] { return vadizu_open_image(nullptr, s, srv, def, 1, &image); }, nullptr},
      {"open, null out", [&] { return vadizu_open_image(lsu, s, srv, def, 1, nullptr); }, "OpenImage"},
      {"open, null definition", [&] { return vadizu_open_image(lsu, s, srv, nullptr, 1, &image); }, "OpenImage"},
      {"close, null handle", [&] { return vadizu_close_image(nullptr, 1); }, nullptr},
      {"close, a list's handle", [&] { return vadizu_close_image(reinterpret_cast<stsp_image_handle_s*>(list), 1); }, "CloseImage"},
      {"read, null handle", [&] { return vadizu_read_image(nullptr, buf, 1, 0, &count); }, nullptr},
      {"read, null count", [&] { return vadizu_read_image(image, buf, 1, 0, nullptr); }, "ReadImage"},
      {"read, null buffer", [&] { return vadizu_read_image(image, nullptr, 1, 0, &count); }, "ReadImage"},
      {"write, null handle", [&] { return vadizu_write_image(nullptr, nullptr, buf, 1, 0, &count); }, nullptr},
      {"write, null count", [&] { return vadizu_write_image(image, nullptr, buf, 1, 0, nullptr); }, "WriteImage"},
      {"delete, null server", [&] { return vadizu_delete_image(lsu, s, nullptr, def, 0); }, nullptr},
      {"prop, null handle", [&] { return vadizu_get_image_prop(nullptr, &info); }, nullptr},
      {"prop, null info", [&] { return vadizu_get_image_prop(image, nullptr); }, "GetImageProperties"},
      {"prop by name, null lsu", [&] { return vadizu_get_image_prop_byname(nullptr, s, srv, def, &info); }, nullptr},
      {"prop by name, null info", [&] { return vadizu_get_image_prop_byname(lsu, s, srv, def, nullptr); }, "GetImageProperties"},
      {"open list, null server", [&] { return vadizu_open_image_list(lsu, s, nullptr, 7, &list); }, nullptr},
      {"open list, null out", [&] { return vadizu_open_image_list(lsu, s, srv, 7, nullptr); }, "OpenImageList"},
      {"list, null handle", [&] { return vadizu_list_image(nullptr, &listed); }, nullptr},
      {"list, null definition", [&] { return vadizu_list_image(list, nullptr); }, "ListImage"},
      {"close list, null handle", [&] { return vadizu_close_image_list(nullptr); }, nullptr},
      {"close list, an image's handle", [&] { return vadizu_close_image_list(reinterpret_cast<stsp_image_list_handle_s*>(image)); }, "CloseImageList"},
  };
  for (const auto& c : cases) {
    log_.Clear();
    EXPECT_EQ(STS_EINVAL, c.call()) << c.what;
    ASSERT_EQ(c.logged_as ? 1u : 0u, log_.lines().size()) << c.what;
    if (c.logged_as == nullptr) continue;
    const std::string want = "ROZOvareDuzaruv: Caught exception in "
                             "VADIZUImageManager::" + std::string(c.logged_as) +
                             ", FILE=../VADIZUImage";
    EXPECT_EQ(want, log_.lines()[0].text.substr(0, want.size())) << c.what;
    EXPECT_EQ(4u, log_.lines()[0].severity) << c.what;
    // FILE and LINE lead to the throw, in whichever family raised it.
    EXPECT_NE(std::string::npos,
              NamedSourceLine(log_.lines()[0].text).find("VADIZU_THROW"))
        << c.what << ": " << log_.lines()[0].text;
  }
  EXPECT_EQ(STS_EOK, vadizu_close_image_list(list));
  EXPECT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
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
