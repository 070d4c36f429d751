// Images and image lists end to end through the exported functions: data
// and status blocks on disk, close flags in both create modes, what each
// call answers and logs, listings, initialisation counting.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "host.h"

namespace {

using host::FileSize;
using host::MakeStat;
using host::ReadFile;
using Severities = std::vector<sts_severity_v7_t>;
using Listing = std::multiset<std::string>;  // "basename/flags" per result

constexpr uint64_t kUnchanged = 777;
constexpr uint32_t kClear = host::kSaveAsDataAndMeta;

// One character per descriptor this process holds on a file whose path
// starts with `base`: 'x' when an exec'd program would not inherit it.
std::string HeldFiles(const std::string& base) {
  const std::string path = std::filesystem::weakly_canonical(base);
  std::string held;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (std::filesystem::read_symlink(fd, ignored).string().rfind(path, 0) == 0) {
      held += fcntl(std::stoi(fd.path().filename()), F_GETFD) & FD_CLOEXEC ? 'x' : '!';
    }
  }
  return held;
}

class ImageTest : public host::HostTest {};

// Also: the files are private whatever the umask, and no descriptor of an
// image is inherited by a program the host execs.
TEST_F(ImageTest, SaveAsBitsPlaceDataAndStatusBlocksInPrivateFilesNoExecInherits) {
  const uint32_t kSkip = VADIZU_STAT_SKIP_METADATA;
  struct Case {
    const char* name;
    uint32_t created, recorded;  // save-as bits at create and in the file
    size_t length;
    bool with_stat;
    uint64_t block;
    uint32_t stat_flags;
    int rc;
    uint64_t written;
    off_t meta_size, data_size;  // -1: no such file
  } cases[] = {
      {"data only", 4, 4, 1000, true, 100, 0, STS_EOK, 1000, -1, 1000},
      {"clear files", kClear, kClear, 1000, true, 100, 0, STS_EOK, 1000, 512, 1000},
      {"opaque files", 6, 6, 1000, true, 513, 0, STS_EOK, 1000, 1024, 1000},
      {"block of 512", kClear, kClear, 1000, true, 512, 0, STS_EOK, 1000, 512, 1000},
      {"empty block", kClear, kClear, 1000, true, 0, 0, STS_EOK, 1000, 0, 1000},
      {"skip flag", kClear, kClear, 1000, true, 100, kSkip, STS_EOK, 1000, 0, 1000},
      {"no block", kClear, kClear, 1000, false, 0, 0, STS_EOK, 1000, 0, 1000},
      {"block too long", kClear, kClear, 1000, true, 1u << 31, 0, STS_EINVAL, kUnchanged, 0, 0},
      {"metadata only", kClear, 1, 0, true, 100, kSkip, STS_EOK, 0, 512, 0},
      {"metadata only, data given", kClear, 1, 1000, true, 100, 0, STS_ENOSPC, 0, 512, 0},
      {"metadata only, no block", kClear, 1, 0, false, 0, 0, STS_EINVAL, kUnchanged, 0, 0},
      {"neither", 4, 0, 1000, true, 100, 0, STS_ENOSPC, 0, -1, 0},
      {"neither, empty write", 4, 0, 0, true, 100, 0, STS_EOK, 0, -1, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sts_image_def_v10_t def = host::MakeDef("kind" + std::to_string(n++), "d", c.created);
    stsp_image_handle_s* image = nullptr;
    const mode_t umask_before = umask(0);
    if (c.created != c.recorded) {  // another tool changed the bits
      MakeImage(def, "", VADIZU_CLOSE_INCOMPLETE);
      std::string file = ReadFile(InfoPath(def));
      std::string key = "IMG_SAVEAS=" + std::to_string(c.created);
      file.replace(file.find(key), key.size(),
                   "IMG_SAVEAS=" + std::to_string(c.recorded));
      host::WriteFile(InfoPath(def), file);
      ASSERT_EQ(STS_EOK, Open(def, VADIZU_OPEN_WRITE, &image));
    } else {
      ASSERT_EQ(STS_EOK, Create(def, &image));
    }
    umask(umask_before);
    EXPECT_EQ(c.meta_size < 0 ? "x" : "xx", HeldFiles(Base(def)));
    sts_stat_v7_t stat = MakeStat(c.block, c.stat_flags);
    uint64_t written = kUnchanged;
    EXPECT_EQ(c.rc, Write(image, std::string(c.length, 'D'), 0,
                          c.with_stat ? &stat : nullptr, &written));
    EXPECT_EQ(c.written, written);
    EXPECT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
    EXPECT_EQ(c.data_size, FileSize(Base(def) + ".img"));
    EXPECT_EQ(c.meta_size, FileSize(Base(def) + ".meta"));
    std::string meta = ReadFile(Base(def) + ".meta");
    if (c.meta_size > 0) {  // the block as given, then spaces
      const char* block = reinterpret_cast<const char*>(&stat);
      EXPECT_EQ(std::string(block, c.block), meta.substr(0, c.block));
      EXPECT_EQ(std::string(meta.size() - c.block, ' '), meta.substr(c.block));
    }
    for (const char* file : {".img", ".meta", ".info"}) {
      struct stat st;
      if (::stat((Base(def) + file).c_str(), &st) == 0) {
        EXPECT_EQ(0600u, st.st_mode & 07777) << file;
      }
    }
    char buf[2000];
    uint64_t got = kUnchanged;  // from byte 5 to the end, or nothing past it
    ASSERT_EQ(STS_EOK, Open(def, VADIZU_OPEN_READ, &image));
    EXPECT_EQ("x", HeldFiles(Base(def)));  // a reader holds the data file only
    EXPECT_EQ(STS_EOK, vadizu_read_image(image, buf, sizeof buf, 5, &got));
    EXPECT_EQ(std::max<off_t>(c.data_size - 5, 0), static_cast<off_t>(got));
    EXPECT_EQ(std::string(got, 'D'), std::string(buf, got));
    EXPECT_EQ(STS_EOK, vadizu_close_image(image, 0));
  }
}

// The flagged create mode makes a writer like any other: its data counts,
// it closes complete or not, and the image reopens. A reopened writer
// writes its status blocks from the start again.
TEST_F(ImageTest, CloseFlagsDecideCompletionAndAReopenedWriterRewritesStatusBlocksFromTheStart) {
  const char* status_after[] = {"1", "4", "1", "1", "4", "4", "1"};
  sts_stat_v7_t stat = MakeStat(100);
  for (int n = 0; n < 14; ++n) {  // close flags 0 to 6 in either create mode
    const int flags = n % 7;
    SCOPED_TRACE("case " + std::to_string(n));
    sts_image_def_v10_t def = host::MakeDef("close" + std::to_string(n), "d", kClear,
                                            n < 7 ? 0 : VADIZU_IMAGE_CREATE_FLAGGED);
    stsp_image_handle_s* image = nullptr;
    ASSERT_EQ(STS_EOK, Create(def, &image));
    for (char mark : {'1', '2'}) {  // two halves of the data
      stat.host_head[0] = mark;
      ASSERT_EQ(STS_EOK, Write(image, std::string(1500, 'c'), (mark - '1') * 1500, &stat));
    }
    ASSERT_EQ(STS_EOK, vadizu_close_image(image, flags));
    EXPECT_EQ(std::string("0,") + status_after[flags], State(def));
    EXPECT_EQ(3000u, host::ReadInfoFile(InfoPath(def)).size);
    bool complete = status_after[flags][0] == '4';
    def.flags = VADIZU_IMAGE_KIND0;
    EXPECT_EQ(STS_EOK, Open(def, complete ? VADIZU_OPEN_READ : VADIZU_OPEN_WRITE, &image));
    stat.host_head[0] = '3';
    EXPECT_EQ(complete ? STS_EINVAL : STS_EOK, Write(image, "c", 0, &stat));
    EXPECT_EQ(STS_EOK, vadizu_close_image(image, 0));
    const std::string meta = ReadFile(Base(def) + ".meta");
    EXPECT_EQ(2u * 512, meta.size());
    EXPECT_EQ(complete ? '1' : '3', meta[0]);
  }
}

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

// Each row is "Frame: case". Null LSUs, servers and handles are refused
// before the frame, silently; inside it, a failure's exception line names
// the row's frame, and its FILE and LINE lead to the throw. Handles given
// in place of the other kind stay open.
TEST_F(ImageTest, EachCallAnswersItsCodeLogsAsPromisedAndLeavesNoTrace) {
  sts_image_def_v10_t done = host::MakeDef("done"), fresh = host::MakeDef("new");
  MakeImage(done, "payload", VADIZU_CLOSE_COMPLETE);
  sts_image_def_v10_t legacy = host::MakeDef("old", "d", 4, VADIZU_IMAGE_LEGACY);
  host::WriteFile(Base(legacy), "legacy");
  stsp_image_handle_s *reader = nullptr, *old = nullptr, *writer, *out = nullptr;
  stsp_image_list_handle_s* list = nullptr;
  ASSERT_EQ(STS_EOK, Open(done, VADIZU_OPEN_READ, &reader));
  ASSERT_EQ(STS_EOK, Create(host::MakeDef("writer"), &writer));
  ASSERT_EQ(STS_EOK, Create(legacy, &old));
  ASSERT_EQ(STS_EOK, vadizu_open_image_list(&lsu_, log_.get(), server_, 7, &list));
  sts_lsu_name_v7_t missing = host::MakeLsu(dir_.File("nope")),
                    dots = host::MakeLsu(".."), dot = host::MakeLsu(".");
  const std::string long_server(512, 's');
  sts_image_def_v10_t no_image = fresh, flags3 = fresh, forged = fresh;
  no_image.saveas = VADIZU_SAVEAS_CLEAR_FILES, flags3.flags = 3;
  std::strcpy(forged.policy, "p\nWRITECOUNT=0\nIMO_STATUS=1");
  const std::string data = Base(fresh) + ".img";
  // Entries that are not the requested image's info file: a FIFO, a
  // directory, and images whose names lead to the same files.
  sts_image_def_v10_t fifo = host::MakeDef("fifo"), folder = host::MakeDef("dir");
  ASSERT_EQ(0, mkfifo(InfoPath(fifo).c_str(), 0600));
  ASSERT_EQ(0, mkdir(InfoPath(folder).c_str(), 0700));
  sts_image_def_v10_t linked = host::MakeDef("linked");  // its info file a link
  MakeImage(linked, "l", VADIZU_CLOSE_INCOMPLETE);
  ASSERT_EQ(0, rename(InfoPath(linked).c_str(), dir_.File("target").c_str()));
  ASSERT_EQ(0, symlink("target", InfoPath(linked).c_str()));
  sts_image_def_v10_t xy_z = host::MakeDef("x.y", "z"), x_yz = host::MakeDef("x", "y.z");
  sts_image_def_v10_t a_b = host::MakeDef("a_b"), a_slash_b = host::MakeDef("a/b");
  MakeImage(xy_z, "xy", VADIZU_CLOSE_INCOMPLETE);
  MakeImage(a_b, "ab", VADIZU_CLOSE_COMPLETE);
  static char buf[16];  // far below the top, where buf + 2 GiB still fits
  uint64_t count;
  sts_image_info_v10_t info;
  const sts_session_def_v7_t* s = log_.get();
  const char* srv = server_;
  const auto& lines = log_.lines();
  // One 1 MiB write under a 64 KiB file size limit, for this process only.
  const auto past_limit = [&](uint64_t offset) {
    rlimit before;
    getrlimit(RLIMIT_FSIZE, &before);
    const rlimit limit = {64 * 1024, before.rlim_max};
    auto handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    const int rc = Write(writer, std::string(1 << 20, 'f'), offset, nullptr, &count);
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, handler);
    return rc;
  };
  struct Case {
    const char* name;
    std::function<int()> call;
    int rc;
    Severities severities;
    std::function<void()> survives = nullptr;
  } cases[] = {
      {"CreateImage: missing LSU", [&] { return vadizu_create_image(&missing, s, srv, &fresh, 0, &out); }, STS_EINVAL, {1, 4},
       [&] { EXPECT_EQ("ROZOvareDuzaruv: LSU " + std::string(missing.name) + " does not exist.", lines[0].text); }},
      {"CreateImage: missing LSU, no session", [&] { return vadizu_create_image(&missing, nullptr, srv, &fresh, 0, &out); }, STS_EINVAL, {}},
      {"GetImageProperties: missing LSU", [&] { return vadizu_get_image_prop_byname(&missing, s, srv, &done, &info); }, STS_EINVAL, {1, 4}},
      {"DeleteImage: missing LSU", [&] { return vadizu_delete_image(&missing, s, srv, &done, 0); }, STS_EINVAL, {1, 4}},
      {"CreateImage: LSU ..", [&] { return vadizu_create_image(&dots, s, srv, &fresh, 0, &out); }, STS_EINVAL, {4}},
      {"CreateImage: LSU .", [&] { return vadizu_create_image(&dot, s, srv, &fresh, 0, &out); }, STS_EINVAL, {4}},
      {"CreateImage: 512-char server", [&] { return vadizu_create_image(&lsu_, s, long_server.c_str(), &fresh, 0, &out); }, STS_EINVAL, {4}},
      {"CreateImage: without image bit", [&] { return Create(no_image, &out); }, STS_EINVAL, {4}},
      {"CreateImage: flags 3", [&] { return Create(flags3, &out); }, STS_EINVAL, {4}},
      {"CreateImage: a line feed in a text", [&] { return Create(forged, &out); }, STS_EINVAL, {4}},
      {"CreateImage: over a data file", [&] { host::WriteFile(data, "old"); return Create(fresh, &out); }, STS_EEXIST, {4, 4}, [&] {
         EXPECT_EQ("ROZOvareDuzaruv: open() failed on image file " + data + " (File exists)", lines[0].text);
         EXPECT_EQ("old", ReadFile(data));
         unlink(data.c_str());
       }},
      {"CreateImage: another image's name", [&] { return Create(x_yz, &out); }, STS_EEXIST, {4, 4}},
      {"CreateImage: null LSU", [&] { return vadizu_create_image(nullptr, s, srv, &fresh, 0, &out); }, STS_EINVAL, {}},
      {"CreateImage: null server", [&] { return vadizu_create_image(&lsu_, s, nullptr, &fresh, 0, &out); }, STS_EINVAL, {}},
      {"CreateImage: null out", [&] { return vadizu_create_image(&lsu_, s, srv, &fresh, 0, nullptr); }, STS_EINVAL, {4}},
      {"CreateImage: null definition", [&] { return vadizu_create_image(&lsu_, s, srv, nullptr, 0, &out); }, STS_EINVAL, {4}},
      {"OpenImage: mode 3", [&] { return Open(done, 3, &out); }, STS_EINVAL, {4}},
      {"OpenImage: null LSU", [&] { return vadizu_open_image(nullptr, s, srv, &done, 1, &out); }, STS_EINVAL, {}},
      {"OpenImage: null out", [&] { return vadizu_open_image(&lsu_, s, srv, &done, 1, nullptr); }, STS_EINVAL, {4}},
      {"OpenImage: null definition", [&] { return vadizu_open_image(&lsu_, s, srv, nullptr, 1, &out); }, STS_EINVAL, {4}},
      {"OpenImage: missing image", [&] { return Open(fresh, VADIZU_OPEN_READ, &out); }, STS_ENOENT, {3, 1}},
      {"OpenImage: data file that loops (ELOOP is no such image too)", [&] {
         MakeImage(fresh, "", 0);
         unlink(data.c_str());
         symlink(data.c_str(), data.c_str());
         return Open(fresh, VADIZU_OPEN_READ, &out); }, STS_ENOENT, {1}},
      {"OpenImage: FIFO as info file", [&] { return Open(fifo, VADIZU_OPEN_READ, &out); }, STS_ENOENT, {3, 1}},
      {"OpenImage: to write, FIFO as info file", [&] { return Open(fifo, VADIZU_OPEN_WRITE, &out); }, STS_ENOENT, {3, 1}},
      {"OpenImage: to write, a link as info file", [&] { return Open(linked, VADIZU_OPEN_WRITE, &out); }, STS_ENOENT, {3, 1},
       [&] { EXPECT_EQ(0u, host::ReadInfoFile(dir_.File("target")).writecount); }},
      {"OpenImage: another image's name", [&] { return Open(x_yz, VADIZU_OPEN_READ, &out); }, STS_ENOENT, {3, 1}},
      {"OpenImage: to write, another image's name", [&] { return Open(x_yz, VADIZU_OPEN_WRITE, &out); }, STS_ENOENT, {3, 1},
       [&] { EXPECT_EQ(0u, host::ReadInfoFile(InfoPath(xy_z)).writecount); }},
      {"DeleteImage: data file but no info", [&] { unlink(InfoPath(fresh).c_str()); unlink(data.c_str());
         host::WriteFile(data, "x"); return Delete(fresh); }, STS_ENOENT, {3},
       [&] { EXPECT_EQ(1, FileSize(data)); unlink(data.c_str()); }},
      {"DeleteImage: the host's flags, which are ignored", [&] { MakeImage(fresh, "x", 1); return Delete(fresh, 7); }, STS_EOK, {3},
       [&] { EXPECT_EQ(-1, FileSize(data)); }},
      {"DeleteImage: directory as info file", [&] { return Delete(folder); }, STS_ENOENT, {3}},
      {"DeleteImage: another image's name", [&] { return Delete(x_yz); }, STS_ENOENT, {3},
       [&] { EXPECT_EQ("xy", ReadFile(Base(xy_z) + ".img")); }},
      {"DeleteImage: a/b for a_b", [&] { return Delete(a_slash_b); }, STS_ENOENT, {3},
       [&] { EXPECT_EQ("ab", ReadFile(Base(a_b) + ".img")); }},
      {"DeleteImage: null server", [&] { return vadizu_delete_image(&lsu_, s, nullptr, &done, 0); }, STS_EINVAL, {}},
      {"GetImageProperties: missing image", [&] { return PropsByName(fresh, &info); }, STS_ENOENT, {3},
       [&] { EXPECT_EQ(0xeeeeeeeeu, info.status); }},
      {"GetImageProperties: FIFO as info file", [&] { return PropsByName(fifo, &info); }, STS_ENOENT, {3}},
      {"GetImageProperties: another image's name", [&] { return PropsByName(x_yz, &info); }, STS_EOK, {},
       [&] { EXPECT_STREQ("x.y", info.def.basename); }},
      {"GetImageProperties: a writer's live size", [&] { Write(writer, "w", 0); return vadizu_get_image_prop(writer, &info); }, STS_EOK, {},
       [&] { EXPECT_EQ(1u, info.size); }},
      {"GetImageProperties: null handle", [&] { return vadizu_get_image_prop(nullptr, &info); }, STS_EINVAL, {}},
      {"GetImageProperties: null info", [&] { return vadizu_get_image_prop(reader, nullptr); }, STS_EINVAL, {4}},
      {"GetImageProperties: by name, null LSU", [&] { return vadizu_get_image_prop_byname(nullptr, s, srv, &done, &info); }, STS_EINVAL, {}},
      {"GetImageProperties: by name, null info", [&] { return vadizu_get_image_prop_byname(&lsu_, s, srv, &done, nullptr); }, STS_EINVAL, {4}},
      {"ReadImage: null buffer", [&] { return vadizu_read_image(reader, nullptr, 1, 0, &count); }, STS_EINVAL, {4}},
      {"ReadImage: null count", [&] { return vadizu_read_image(reader, buf, 1, 0, nullptr); }, STS_EINVAL, {4}},
      {"ReadImage: null handle", [&] { return vadizu_read_image(nullptr, buf, 1, 0, &count); }, STS_EINVAL, {}},
      {"ReadImage: 2 GiB", [&] { return vadizu_read_image(reader, buf, 1u << 31, 0, &count); }, STS_EINVAL, {4}},
      {"ReadImage: 2 GiB less one byte", [&] { return vadizu_read_image(reader, buf, (1u << 31) - 1, 0, &count); }, STS_EOK, {},
       [&] { EXPECT_EQ(7u, count); }},
      {"ReadImage: on a legacy image", [&] { return vadizu_read_image(old, buf, 1, 0, &count); }, STS_EINVAL, {4},
       [&] { EXPECT_EQ("legacy", ReadFile(Base(legacy))); }},
      {"WriteImage: on a reader", [&] { return Write(reader, "x", 0, nullptr, &count); }, STS_EINVAL, {4}},
      {"WriteImage: on a legacy image", [&] { return Write(old, "x", 0, nullptr, &count); }, STS_EINVAL, {4}},
      {"WriteImage: null handle", [&] { return vadizu_write_image(nullptr, nullptr, buf, 1, 0, &count); }, STS_EINVAL, {}},
      {"WriteImage: short, past the file size limit", [&] { return past_limit(0); }, STS_ENOSPC, {4},
       [&] { EXPECT_EQ(64u * 1024, count); }},
      {"WriteImage: where nothing fits under the limit", [&] { return past_limit(64 * 1024); }, STS_EFILESYSTEM, {4, 4}, [&] {
         EXPECT_EQ(0u, lines[0].text.find("ROZOvareDuzaruv: write() failed on image file " +
                                          Base(host::MakeDef("writer")) + ".img (error=27, ")); }},
      {"WriteImage: null count", [&] { return vadizu_write_image(writer, nullptr, buf, 1, 0, nullptr); }, STS_EINVAL, {4}},
      {"CloseImage: null handle", [&] { return vadizu_close_image(nullptr, 1); }, STS_EINVAL, {}},
      {"CloseImage: a list's handle", [&] { return vadizu_close_image(reinterpret_cast<stsp_image_handle_s*>(list), 1); }, STS_EINVAL, {4}},
      {"OpenImageList: null server", [&] { return vadizu_open_image_list(&lsu_, s, nullptr, 7, &list); }, STS_EINVAL, {}},
      {"OpenImageList: 512-char server", [&] { return vadizu_open_image_list(&lsu_, s, long_server.c_str(), 7, &list); }, STS_EINVAL, {4}},
      {"OpenImageList: null out", [&] { return vadizu_open_image_list(&lsu_, s, srv, 7, nullptr); }, STS_EINVAL, {4}},
      {"ListImage: null handle", [&] { return vadizu_list_image(nullptr, &info.def); }, STS_EINVAL, {}},
      {"ListImage: null definition", [&] { return vadizu_list_image(list, nullptr); }, STS_EINVAL, {4}},
      {"ListImage: past the end, quietly and again", [&] {
         sts_image_def_v10_t def;
         while (vadizu_list_image(list, &def) == STS_EOK) continue;
         return vadizu_list_image(list, &info.def); }, STS_ENOENT, {},
       [&] { EXPECT_EQ(0xeeeeeeeeu, info.def.flags); }},
      {"CloseImageList: null handle", [&] { return vadizu_close_image_list(nullptr); }, STS_EINVAL, {}},
      {"CloseImageList: an image's handle", [&] { return vadizu_close_image_list(reinterpret_cast<stsp_image_list_handle_s*>(reader)); }, STS_EINVAL, {4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string before = ReadFile(InfoPath(done));
    log_.Clear();
    count = kUnchanged;
    std::memset(&info, 0xee, sizeof info);
    EXPECT_EQ(c.rc, c.call());
    Severities logged;
    for (const host::LogLine& line : log_.lines())
      logged.push_back(line.severity);
    EXPECT_EQ(c.severities, logged);
    if (c.rc != STS_EOK && c.rc != STS_ENOSPC) {  // a short write counts
      EXPECT_EQ(kUnchanged, count);
    }
    EXPECT_EQ(before, ReadFile(InfoPath(done)));
    if (c.rc != STS_ENOENT) {  // nothing half made is left behind
      EXPECT_EQ(-1, FileSize(InfoPath(fresh)));
    }
    const std::string frame = "ROZOvareDuzaruv: Caught exception in VADIZUImageManager::" +
                              std::string(c.name, std::strchr(c.name, ':')) + ", FILE=../";
    for (const host::LogLine& line : lines) {
      if (line.text.find("Caught exception") == std::string::npos) continue;
      EXPECT_EQ(0u, line.text.find(frame)) << line.text;
      EXPECT_NE(std::string::npos, NamedSourceLine(line.text).find("VADIZU_THROW")) << line.text;
    }
    if (c.survives && lines.size() == c.severities.size()) c.survives();
  }
  EXPECT_EQ(STS_EOK, vadizu_close_image_list(list));
  EXPECT_EQ(STS_EINVAL, vadizu_close_image_list(list));  // closed: refused
  EXPECT_EQ(STS_EOK, vadizu_close_image(reader, 0));
  EXPECT_EQ(STS_EOK, vadizu_close_image(writer, 0));
  EXPECT_EQ(STS_EOK, vadizu_close_image(old, VADIZU_CLOSE_COMPLETE));
}

TEST_F(ImageTest, InitIsCountedAndTheLastTerminateEndsEveryHandle) {
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
  EXPECT_EQ(STS_EOK, Write(image, "abc", 0));
  ASSERT_EQ(STS_EOK, vadizu_terminate());  // the last one: every handle dies
  uint64_t written = kUnchanged;
  EXPECT_EQ(STS_EINIT, Write(image, "abc", 0, nullptr, &written));
  EXPECT_EQ(kUnchanged, written);
  EXPECT_EQ(STS_EINIT, vadizu_list_image(list, &def));
  EXPECT_EQ(STS_EINIT, vadizu_close_image(writer, VADIZU_CLOSE_COMPLETE));
  EXPECT_EQ(STS_EINIT, vadizu_terminate());
  EXPECT_TRUE(log_.lines().empty());
  EXPECT_EQ("1,33", State(orphan));  // its writer ended without closing
  ASSERT_EQ(STS_EOK, vadizu_init(10));  // a new manager knows no old handle
  EXPECT_EQ(STS_EINVAL, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  EXPECT_EQ(STS_EBUSY, Open(orphan, VADIZU_OPEN_WRITE, &writer));
}

// Texts that fill their arrays come back terminated, by handle and by name.
// The flags select images and everything else in the LSU is skipped; the
// listing is taken at open, whatever the host does with its record then.
TEST_F(ImageTest, ListFlagsSelectImagesSkipTheRestAndTheListingIsTakenAtOpen) {
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
  MakeImage(host::MakeDef("flagged", "d", 4, VADIZU_IMAGE_KIND1 | VADIZU_IMAGE_CREATE_FLAGGED),
            "", 0);
  host::WriteFile(dir_.File("legacy"), "");
  MakeImage(host::MakeDef("legacy", "d", 4, VADIZU_IMAGE_LEGACY), "", 1);
  MakeImage(host::MakeDef("", "e"), "", 1);  // empty basename: .e.info
  ASSERT_EQ(0, mkdir(dir_.File("sub").c_str(), 0700));
  ASSERT_EQ(0, mkdir(dir_.File("dir.info").c_str(), 0700));
  ASSERT_EQ(0, symlink("nowhere", dir_.File("dangling.info").c_str()));
  ASSERT_EQ(0, mkfifo(dir_.File("fifo.d.info").c_str(), 0600));  // no wait
  ASSERT_EQ(0, symlink("legacy.info", dir_.File("link.info").c_str()));
  for (const char* name : {"notes.txt", "x.INFO", "x.info.bak", "sub/x.d.info"}) {
    host::WriteFile(dir_.File(name), "IMG_BASENAME=x\nIMG_FLAGS=0\n");
  }
  host::WriteFile(dir_.File("no.d.info"), "no keys here\n");
  host::WriteFile(dir_.File("three.d.info"), "IMG_BASENAME=t\nIMG_FLAGS=3\n");
  if (geteuid() != 0) {  // root reads files whatever their mode
    host::WriteFile(dir_.File("secret.d.info"), "IMG_BASENAME=s\nIMG_FLAGS=0\n");
    ASSERT_EQ(0, chmod(dir_.File("secret.d.info").c_str(), 0));
  }
  // Lists to the end; `after_open` runs between the open and the first result.
  const auto list = [&](const sts_lsu_name_v7_t& lsu, int flags,
                        const std::function<void()>& after_open = [] {}) {
    stsp_image_list_handle_s* handle = nullptr;
    EXPECT_EQ(STS_EOK, vadizu_open_image_list(&lsu, log_.get(), server_, flags, &handle));
    after_open();
    Listing seen;
    sts_image_def_v10_t def;
    while (vadizu_list_image(handle, &def) == STS_EOK) {
      seen.insert(std::string(def.basename) + "/" + std::to_string(def.flags));
      if (std::strcmp(def.basename, "zero") == 0) {  // the whole definition
        EXPECT_EQ(0, std::memcmp(&zero, &def, sizeof def));
      }
    }
    EXPECT_EQ(STS_EOK, vadizu_close_image_list(handle));
    return seen;
  };
  const Listing kind1 = {"a/b/1", "flagged/1"}, kind0 = {"zero/0", "writing/0"};
  for (int flags = 0; flags <= 7; ++flags) {
    Listing expected;
    if (flags & VADIZU_LIST_KIND1) expected.insert(kind1.begin(), kind1.end());
    if (flags & VADIZU_LIST_KIND0) expected.insert(kind0.begin(), kind0.end());
    if (flags & VADIZU_LIST_LEGACY) expected.insert({"legacy/2", "legacy/2"});
    EXPECT_EQ(expected, list(lsu_, flags)) << "flags " << flags;
  }
  const Listing all = list(lsu_, VADIZU_LIST_ALL);  // as checked above
  sts_lsu_name_v7_t lsu = host::MakeLsu(dir_.path() + "/");
  EXPECT_EQ(all, list(lsu, VADIZU_LIST_ALL, [&] { std::strcpy(lsu.name, "/nonexistent"); }));
  host::ScratchDir empty;
  EXPECT_EQ(Listing{}, list(host::MakeLsu(empty.path()), VADIZU_LIST_ALL));
  std::memset(server_, 'S', 511);  // the longest server name
  Listing left = all;
  left.erase("zero/0");
  EXPECT_EQ(left, list(lsu_, VADIZU_LIST_ALL, [&] {
              MakeImage(host::MakeDef("late"), "3", 1);
              EXPECT_EQ(STS_EOK, Delete(zero));
            }));
  EXPECT_EQ(STS_EOK, vadizu_close_image(writing, 0));
}

}  // namespace
