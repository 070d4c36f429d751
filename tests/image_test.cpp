// Images end to end through the exported functions: data and status blocks
// on disk, close flags, how each operation fails, handle misuse, file systems
// that refuse a write, and where the files land.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <random>

#include "host.h"

namespace {

using host::FileSize;
using host::InfoFields;
using host::ReadFile;
using Severities = std::vector<sts_severity_v7_t>;

constexpr uint64_t kUnchanged = 777;
constexpr uint32_t kClear = VADIZU_SAVEAS_IMAGE | VADIZU_SAVEAS_CLEAR_FILES;

class ImageTest : public host::HostTest {
 protected:
  void RunOutOfRoom(bool file_too_large);
};

TEST_F(ImageTest, BackupAndRestoreRoundTripKeepsEveryByte) {
  constexpr size_t kChunk = 64 * 1024, kChunks = 64, kHole = 17;
  std::mt19937 rng(20240601);
  std::string expected(kChunk * kChunks, '\0');
  sts_image_def_v10_t def = host::MakeDef("roundtrip", "d", kClear);
  stsp_image_handle_s* image = nullptr;
  ASSERT_EQ(STS_EOK, Create(def, &image));
  size_t meta = 0;
  for (size_t i = 0; i < kChunks; ++i) {  // out of order, all but the hole
    size_t chunk = i * 37 % kChunks;
    if (chunk == kHole) continue;
    std::string data(kChunk, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    sts_stat_v7_t stat = host::MakeStat(rng() % sizeof(sts_stat_v7_t));
    uint64_t written = 0;
    ASSERT_EQ(STS_EOK, Write(image, data, chunk * kChunk, &stat, &written));
    ASSERT_EQ(kChunk, written);
    expected.replace(chunk * kChunk, kChunk, data);
    meta += (stat.length + 511) / 512 * 512;
  }
  sts_image_info_v10_t info{};
  ASSERT_EQ(STS_EOK, vadizu_get_image_prop(image, &info));
  EXPECT_EQ(expected.size(), info.size);  // the live size while written
  ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  EXPECT_EQ(off_t(expected.size()), FileSize(Base(def) + ".img"));
  EXPECT_EQ(off_t(meta), FileSize(Base(def) + ".meta"));
  EXPECT_EQ(std::to_string(expected.size()),
            InfoFields(InfoPath(def))["IMO_SIZE"]);
  ASSERT_EQ(STS_EOK, Open(def, VADIZU_OPEN_READ, &image));
  std::string restored;
  std::vector<char> buf(3 * kChunk);
  for (uint64_t got = 1; got > 0;) {  // reads of random lengths to the end
    uint64_t length = 1 + rng() % buf.size();
    ASSERT_EQ(STS_EOK, vadizu_read_image(image, buf.data(), length,
                                         restored.size(), &got));
    ASSERT_LE(got, length);
    restored.append(buf.data(), got);
  }
  EXPECT_TRUE(restored == expected) << "the restored image differs";
  uint64_t got = kUnchanged;  // past the end as at the end: nothing
  EXPECT_EQ(STS_EOK, vadizu_read_image(image, buf.data(), 10,
                                       expected.size() + 5, &got));
  EXPECT_EQ(0u, got);
  EXPECT_EQ(STS_EOK, vadizu_close_image(image, 0));
}

TEST_F(ImageTest, SaveAsBitsDecideWhereDataAndStatusBlocksGo) {
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
    sts_image_def_v10_t def =
        host::MakeDef("kind" + std::to_string(n++), "d", c.created);
    stsp_image_handle_s* image = nullptr;
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
    sts_stat_v7_t stat = host::MakeStat(c.block, c.stat_flags);
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
  }
}

TEST_F(ImageTest, ReopenedWriterOverwritesStatusBlocksFromTheStart) {
  sts_image_def_v10_t def = host::MakeDef("reopen", "d", kClear);
  stsp_image_handle_s* image = nullptr;
  sts_stat_v7_t stat = host::MakeStat(100);
  auto write_block = [&](char mark) {
    stat.host_head[0] = mark;
    ASSERT_EQ(STS_EOK, Write(image, "abc", 0, &stat));
  };
  ASSERT_EQ(STS_EOK, Create(def, &image));
  for (char mark : {'1', '2', '3'}) write_block(mark);
  ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE));
  std::string before = ReadFile(Base(def) + ".meta");
  ASSERT_EQ(STS_EOK, Open(def, VADIZU_OPEN_WRITE, &image));
  write_block('#');
  ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  std::string after = ReadFile(Base(def) + ".meta");
  ASSERT_EQ(3u * 512, after.size());
  EXPECT_EQ(before.substr(512), after.substr(512));
}

TEST_F(ImageTest, CloseFlagsDecideCompletion) {
  const char* status_after[] = {"1", "4", "1", "1", "4", "4", "1"};
  for (int flags = 0; flags <= 6; ++flags) {
    sts_image_def_v10_t def = host::MakeDef("close" + std::to_string(flags));
    MakeImage(def, std::string(3000, 'c'), flags);
    auto fields = InfoFields(InfoPath(def));
    EXPECT_EQ(std::string("0,") + status_after[flags],
              fields["WRITECOUNT"] + "," + fields["IMO_STATUS"])
        << "flags " << flags;
  }
}

TEST_F(ImageTest, FailuresReturnTheirCodeLogAsPromisedAndLeaveNoTrace) {
  sts_image_def_v10_t done = host::MakeDef("done"), fresh = host::MakeDef("new");
  MakeImage(done, "payload", VADIZU_CLOSE_COMPLETE);
  sts_image_def_v10_t legacy = host::MakeDef("old", "d", 4, VADIZU_IMAGE_LEGACY);
  host::WriteFile(Base(legacy), "legacy");
  stsp_image_handle_s *reader = nullptr, *old = nullptr, *out = nullptr;
  ASSERT_EQ(STS_EOK, Open(done, VADIZU_OPEN_READ, &reader));
  ASSERT_EQ(STS_EOK, Create(legacy, &old));
  sts_lsu_name_v7_t missing = host::MakeLsu(dir_.File("nope")),
                    dots = host::MakeLsu("..");
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
  sts_image_def_v10_t xy_z = host::MakeDef("x.y", "z"), x_yz = host::MakeDef("x", "y.z");
  sts_image_def_v10_t a_b = host::MakeDef("a_b"), a_slash_b = host::MakeDef("a/b");
  MakeImage(xy_z, "xy", VADIZU_CLOSE_INCOMPLETE);
  MakeImage(a_b, "ab", VADIZU_CLOSE_COMPLETE);
  char buf[16];
  uint64_t count;
  sts_image_info_v10_t info;
  const sts_session_def_v7_t* s = log_.get();
  const auto& lines = log_.lines();
  struct Case {
    const char* name;
    std::function<int()> call;
    int rc;
    Severities severities;
    std::function<void()> survives = nullptr;
  } cases[] = {
      {"missing LSU", [&] { return vadizu_create_image(&missing, s, server_, &fresh, 0, &out); }, STS_EINVAL, {1, 4},
       [&] { EXPECT_EQ("ROZOvareDuzaruv: LSU " + std::string(missing.name) + " does not exist.", lines[0].text); }},
      {"missing LSU, no session", [&] { return vadizu_create_image(&missing, nullptr, server_, &fresh, 0, &out); }, STS_EINVAL, {}},
      {"properties, missing LSU", [&] { return vadizu_get_image_prop_byname(&missing, s, server_, &done, &info); }, STS_EINVAL, {1, 4}},
      {"delete, missing LSU", [&] { return vadizu_delete_image(&missing, s, server_, &done, 0); }, STS_EINVAL, {1, 4}},
      {"LSU ..", [&] { return vadizu_create_image(&dots, s, server_, &fresh, 0, &out); }, STS_EINVAL, {4}},
      {"512-char server", [&] { return vadizu_create_image(&lsu_, s, long_server.c_str(), &fresh, 0, &out); }, STS_EINVAL, {4}},
      {"create without image bit", [&] { return Create(no_image, &out); }, STS_EINVAL, {4}},
      {"create with flags 3", [&] { return Create(flags3, &out); }, STS_EINVAL, {4}},
      {"create with a line feed in a text", [&] { return Create(forged, &out); }, STS_EINVAL, {4}},
      {"create over a data file", [&] { host::WriteFile(data, "old"); return Create(fresh, &out); }, STS_EEXIST, {4, 4}, [&] {
         EXPECT_EQ("ROZOvareDuzaruv: open() failed on image file " + data + " (File exists)", lines[0].text);
         EXPECT_EQ("old", ReadFile(data));
         unlink(data.c_str());
       }},
      {"open, mode 3", [&] { return Open(done, 3, &out); }, STS_EINVAL, {4}},
      {"open, missing image", [&] { return Open(fresh, VADIZU_OPEN_READ, &out); }, STS_ENOENT, {3, 1}},
      {"open, missing data file", [&] { MakeImage(fresh, "", 0); unlink(data.c_str());
         return Open(fresh, VADIZU_OPEN_READ, &out); }, STS_ENOENT, {1}},
      {"delete, data file but no info", [&] { unlink(InfoPath(fresh).c_str()); host::WriteFile(data, "x");
         return Delete(fresh); }, STS_ENOENT, {3}, [&] { EXPECT_EQ(1, FileSize(data)); unlink(data.c_str()); }},
      {"delete, image without metadata", [&] { MakeImage(fresh, "x", 1); return Delete(fresh); }, STS_EOK, {3},
       [&] { EXPECT_EQ(-1, FileSize(data)); }},
      {"properties, missing image", [&] { return PropsByName(fresh, &info); }, STS_ENOENT, {3},
       [&] { EXPECT_EQ(0xeeeeeeeeu, info.status); }},
      {"open, FIFO as info file", [&] { return Open(fifo, VADIZU_OPEN_READ, &out); }, STS_ENOENT, {3, 1}},
      {"open to write, FIFO as info file", [&] { return Open(fifo, VADIZU_OPEN_WRITE, &out); }, STS_ENOENT, {3, 1}},
      {"properties, FIFO as info file", [&] { return PropsByName(fifo, &info); }, STS_ENOENT, {3}},
      {"delete, directory as info file", [&] { return Delete(folder); }, STS_ENOENT, {3}},
      {"create, another image's name", [&] { return Create(x_yz, &out); }, STS_EEXIST, {4, 4}},
      {"open, another image's name", [&] { return Open(x_yz, VADIZU_OPEN_READ, &out); }, STS_ENOENT, {3, 1}},
      {"open to write, another image's name", [&] { return Open(x_yz, VADIZU_OPEN_WRITE, &out); }, STS_ENOENT, {3, 1},
       [&] { EXPECT_EQ("0", InfoFields(InfoPath(xy_z))["WRITECOUNT"]); }},
      {"delete, another image's name", [&] { return Delete(x_yz); }, STS_ENOENT, {3},
       [&] { EXPECT_EQ("xy", ReadFile(Base(xy_z) + ".img")); }},
      {"delete, a/b for a_b", [&] { return Delete(a_slash_b); }, STS_ENOENT, {3},
       [&] { EXPECT_EQ("ab", ReadFile(Base(a_b) + ".img")); }},
      {"properties, another image's name", [&] { return PropsByName(x_yz, &info); }, STS_EOK, {},
       [&] { EXPECT_STREQ("x.y", info.def.basename); }},
      {"read, null buffer", [&] { return vadizu_read_image(reader, nullptr, 1, 0, &count); }, STS_EINVAL, {4}},
      {"read, 2 GiB", [&] { return vadizu_read_image(reader, buf, 1u << 31, 0, &count); }, STS_EINVAL, {4}},
      {"write on a reader", [&] { return Write(reader, "x", 0, nullptr, &count); }, STS_EINVAL, {4}},
      {"write on a legacy image", [&] { return Write(old, "x", 0, nullptr, &count); }, STS_EINVAL, {4}},
      {"read on a legacy image", [&] { return vadizu_read_image(old, buf, 1, 0, &count); }, STS_EINVAL, {4},
       [&] { EXPECT_EQ("legacy", ReadFile(Base(legacy))); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string before = ReadFile(InfoPath(done));
    log_.Clear();
    count = kUnchanged;
    std::memset(&info, 0xee, sizeof info);
    EXPECT_EQ(c.rc, c.call());
    EXPECT_EQ(c.severities, log_.Severities());
    EXPECT_EQ(kUnchanged, count);
    EXPECT_EQ(before, ReadFile(InfoPath(done)));
    if (c.rc != STS_ENOENT) {  // nothing half made is left behind
      EXPECT_EQ(-1, FileSize(InfoPath(fresh)));
    }
    if (c.survives && lines.size() == c.severities.size()) {
      c.survives();
    }
  }
  EXPECT_EQ(STS_EOK, vadizu_close_image(reader, 0));
  EXPECT_EQ(STS_EOK, vadizu_close_image(old, VADIZU_CLOSE_COMPLETE));
}

TEST_F(ImageTest, ClosedForeignAndOrphanedHandlesAreRefused) {
  sts_image_def_v10_t def = host::MakeDef("twice"), orphan = host::MakeDef("o");
  MakeImage(def, "data", VADIZU_CLOSE_INCOMPLETE);
  stsp_image_handle_s *image = nullptr, *writer = nullptr;
  ASSERT_EQ(STS_EOK, Open(def, VADIZU_OPEN_WRITE, &image));
  ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  std::string closed = ReadFile(InfoPath(def));
  EXPECT_EQ(STS_EINVAL, vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE));
  EXPECT_EQ(closed, ReadFile(InfoPath(def)));

  stsp_image_list_handle_s* list = nullptr;
  ASSERT_EQ(STS_EOK, vadizu_open_image_list(&lsu_, log_.get(), server_,
                                            VADIZU_LIST_ALL, &list));
  log_.Clear();
  auto as_image = reinterpret_cast<stsp_image_handle_s*>(list);
  EXPECT_EQ(STS_EINVAL, vadizu_close_image(as_image, 1));
  EXPECT_EQ(Severities{4}, log_.Severities());  // through the list's session
  sts_image_def_v10_t listed{};
  EXPECT_EQ(STS_EOK, vadizu_list_image(list, &listed));  // still open
  ASSERT_EQ(STS_EOK, Open(def, VADIZU_OPEN_READ, &image));
  auto as_list = reinterpret_cast<stsp_image_list_handle_s*>(image);
  EXPECT_EQ(STS_EINVAL, vadizu_close_image_list(as_list));
  char byte = 0;
  uint64_t got = 0;
  EXPECT_EQ(STS_EOK, vadizu_read_image(image, &byte, 1, 0, &got));
  EXPECT_EQ('d', byte);  // still open

  ASSERT_EQ(STS_EOK, Create(orphan, &writer));
  ASSERT_EQ(STS_EOK, vadizu_terminate());  // the last one: every handle dies
  got = kUnchanged;
  EXPECT_EQ(STS_EINIT, vadizu_read_image(image, &byte, 1, 0, &got));
  EXPECT_EQ(kUnchanged, got);
  EXPECT_EQ(STS_EINIT, vadizu_list_image(list, &listed));
  EXPECT_EQ(STS_EINIT, vadizu_close_image(writer, 1));
  auto fields = InfoFields(InfoPath(orphan));  // the writer mark stays
  EXPECT_EQ("1,33", fields["WRITECOUNT"] + "," + fields["IMO_STATUS"]);
  ASSERT_EQ(STS_EOK, vadizu_init(10));  // TearDown terminates again
  EXPECT_EQ(STS_EBUSY, Open(orphan, VADIZU_OPEN_WRITE, &writer));
}

// Writes 1 MiB where only part of it fits: a short write is STS_ENOSPC with
// the stored count and names no failed call. A second write where nothing
// fits is a file system error naming the call when the file grew too large,
// and STS_ENOSPC from the frame alone when the disk is full.
void ImageTest::RunOutOfRoom(bool file_too_large) {
  int fds = host::OpenFdCount();
  sts_image_def_v10_t def = host::MakeDef("full", "d", kClear);
  stsp_image_handle_s* image = nullptr;
  ASSERT_EQ(STS_EOK, Create(def, &image));
  std::string data(1 << 20, 'f');
  sts_stat_v7_t stat = host::MakeStat(100);
  uint64_t written = 0, again = kUnchanged;
  EXPECT_EQ(STS_ENOSPC, Write(image, data, 0, &stat, &written));
  EXPECT_GT(written, 0u);
  EXPECT_EQ(off_t(written), FileSize(Base(def) + ".img"));
  EXPECT_FALSE(log_.Contains("write() failed"));
  log_.Clear();
  EXPECT_EQ(file_too_large ? STS_EFILESYSTEM : STS_ENOSPC,
            Write(image, data, written, &stat, &again));
  EXPECT_EQ(kUnchanged, again);
  EXPECT_EQ((file_too_large ? Severities{4, 4} : Severities{4}),
            log_.Severities());
  std::string named = "write() failed on image file " + Base(def) + ".img";
  EXPECT_EQ(file_too_large, log_.Contains(named + " (error=27, "));
  EXPECT_EQ(file_too_large, log_.Contains(named));
  EXPECT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  EXPECT_EQ(std::to_string(written), InfoFields(InfoPath(def))["IMO_SIZE"]);
  EXPECT_EQ(fds, host::OpenFdCount());
  EXPECT_EQ(STS_EOK, Delete(def));
}

TEST_F(ImageTest, WritePastTheFileSizeLimitIsAFileSystemError) {
  rlimit old, limit;  // lowered for this process only, and put back
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
  limit = {64 * 1024, old.rlim_max};
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
  RunOutOfRoom(true);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);
}

TEST_F(ImageTest, FullFileSystemGivesNoSpaceAndLeaksNothing) {
  std::string mnt = dir_.File("small"), why;
  ASSERT_EQ(0, mkdir(mnt.c_str(), 0700));
  auto mounted = host::ScopedMount::Tmpfs(mnt, "256k", &why);
  if (!mounted) GTEST_SKIP() << why;
  lsu_ = host::MakeLsu(mnt);
  RunOutOfRoom(false);
}

TEST_F(ImageTest, FilesStayInsideTheLsuAndPrivateWhateverNameAndUmask) {
  std::string lsu_dir = dir_.File("lsu");
  ASSERT_EQ(0, mkdir(lsu_dir.c_str(), 0700));
  lsu_ = host::MakeLsu(lsu_dir);
  const std::string names[] = {"a/b",        "../escape",  "..",
                               ".",          "/abs/path",  "up/../../x",
                               "tab\there",  "ctl\x01\x1f\x7f"};
  const mode_t masks[] = {0, 022, 077, 0777};
  size_t files = 0;
  for (const std::string& name : names) {
    sts_image_def_v10_t def = host::MakeDef(name, "d", kClear);
    mode_t old = umask(masks[files / 3 % 4]);
    MakeImage(def, "data", VADIZU_CLOSE_COMPLETE);
    umask(old);
    auto entries = host::DirEntries(lsu_dir);
    EXPECT_EQ(files += 3, entries.size()) << name;
    for (const std::string& entry : entries) {
      EXPECT_EQ(0600, host::FileMode(lsu_dir + "/" + entry)) << entry;
    }
    sts_image_info_v10_t info{};
    EXPECT_EQ(STS_EOK, PropsByName(def, &info)) << name;
    EXPECT_EQ(name, info.def.basename);
  }
  EXPECT_EQ(std::vector<std::string>{"lsu"}, host::DirEntries(dir_.path()));
  for (const std::string& name : names) {
    EXPECT_EQ(STS_EOK, Delete(host::MakeDef(name, "d", kClear))) << name;
  }
  EXPECT_TRUE(host::DirEntries(lsu_dir).empty());
}

}  // namespace
