// The library's face: initialisation counting, the operation frame's plain
// and logged argument checks, and the exported symbol set.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "vadizu.h"

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

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vadizu-manager-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    strcpy(lsu_.name, dir_.c_str());
    strcpy(def_.basename, "img");
    strcpy(def_.date, "1");
    def_.saveas = VADIZU_SAVEAS_IMAGE;
    session_.log_context = &lines_;
    session_.log_mask = 7;
    session_.log_callback = [](void* to, const char* line, sts_severity_v7_t s) {
      auto* lines = static_cast<std::vector<std::string>*>(to);
      lines->push_back(std::to_string(s) + " " + line);
    };
  }
  void TearDown() override {
    while (vadizu_terminate() == STS_EOK) {
    }
    ASSERT_EQ(system(("rm -rf " + dir_).c_str()), 0);
  }
  int Create(stsp_image_handle_s** image) {
    return vadizu_create_image(&lsu_, &session_, server_, &def_, 0, image);
  }

  std::string dir_;
  sts_lsu_name_v7_t lsu_{};
  sts_image_def_v10_t def_{};
  char server_[512] = "server";
  std::vector<std::string> lines_;  // "<severity> <text>"
  sts_session_def_v7_t session_{};
};

TEST_F(ManagerTest, InitIsCountedAndHandlesLiveUntilTheLastTerminate) {
  stsp_image_handle_s* image = nullptr;
  EXPECT_EQ(vadizu_init(9), STS_EPLUGINVERSION);
  EXPECT_EQ(Create(&image), STS_EINIT);
  EXPECT_EQ(vadizu_terminate(), STS_EINIT);
  ASSERT_EQ(vadizu_init(10), STS_EOK);
  ASSERT_EQ(vadizu_init(11), STS_EOK);
  ASSERT_EQ(Create(&image), STS_EOK);
  ASSERT_EQ(vadizu_terminate(), STS_EOK);
  uint64_t written = 0;
  EXPECT_EQ(vadizu_write_image(image, nullptr, "abc", 3, 0, &written), STS_EOK);
  EXPECT_EQ(written, 3u);
  ASSERT_EQ(vadizu_terminate(), STS_EOK);
  EXPECT_EQ(vadizu_write_image(image, nullptr, "abc", 3, 0, &written),
            STS_EINIT);
  EXPECT_EQ(vadizu_terminate(), STS_EINIT);
  EXPECT_TRUE(lines_.empty());
  ASSERT_EQ(vadizu_init(10), STS_EOK);  // a new manager knows no old handle
  EXPECT_EQ(vadizu_close_image(image, VADIZU_CLOSE_COMPLETE), STS_EINVAL);
}

// Null handles, LSUs and servers are refused before the frame's guarded
// section, silently; a null output pointer is refused inside it, logged.
TEST_F(ManagerTest, NullArgumentsAreRefusedLoggedOnlyForOutputs) {
  ASSERT_EQ(vadizu_init(10), STS_EOK);
  const sts_session_def_v7_t* s = &session_;
  const sts_lsu_name_v7_t* lsu = &lsu_;
  const sts_image_def_v10_t* def = &def_;
  const char* srv = server_;
  stsp_image_handle_s* image = nullptr;
  stsp_image_list_handle_s* list = nullptr;
  ASSERT_EQ(Create(&image), STS_EOK);
  ASSERT_EQ(vadizu_open_image_list(lsu, s, srv, 7, &list), STS_EOK);
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
  };
  for (const auto& c : cases) {
    lines_.clear();
    EXPECT_EQ(c.call(), STS_EINVAL) << c.what;
    ASSERT_EQ(lines_.size(), c.logged_as ? 1u : 0u) << c.what;
    if (c.logged_as == nullptr) continue;
    const std::string want =
        std::string("4 ROZOvareDuzaruv: Caught exception in ") +
        "VADIZUImageManager::" + c.logged_as + ", FILE=../VADIZUImage";
    EXPECT_EQ(lines_[0].substr(0, want.size()), want) << c.what;
    // FILE and LINE lead to the throw, in whichever family raised it.
    EXPECT_NE(NamedSourceLine(lines_[0]).find("VADIZU_THROW"), std::string::npos)
        << c.what << ": " << lines_[0];
  }
  EXPECT_EQ(vadizu_close_image_list(list), STS_EOK);
  EXPECT_EQ(vadizu_close_image(image, VADIZU_CLOSE_COMPLETE), STS_EOK);
}

TEST(ExportTest, OnlyTheThirteenEntryPointsLeaveTheLibrary) {
  const std::string command =
      std::string("nm -D --defined-only -j ") + VADIZU_LIBRARY_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> symbols;
  for (char name[512]; fscanf(pipe, "%511s", name) == 1;) symbols.insert(name);
  ASSERT_EQ(pclose(pipe), 0);
  const std::set<std::string> expected = {
      "vadizu_init",            "vadizu_terminate",
      "vadizu_create_image",    "vadizu_open_image",
      "vadizu_close_image",     "vadizu_read_image",
      "vadizu_write_image",     "vadizu_delete_image",
      "vadizu_get_image_prop",  "vadizu_get_image_prop_byname",
      "vadizu_open_image_list", "vadizu_list_image",
      "vadizu_close_image_list"};
  EXPECT_EQ(symbols, expected);
}

}  // namespace
