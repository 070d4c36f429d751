// Info files through the exported functions: exact text and padding, names,
// what a reader tolerates, the writer protocol and its lock across processes.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <regex>
#include <sstream>

#include "host.h"

namespace {

using host::ReadFile;

const char kWorkedText[] =
    "WRITECOUNT=1\nIMG_BASENAME=client07_1700000000\nIMG_DATE=1700000000\n"
    "IMG_FULLDATE=1700000000\nIMG_POLICY=daily_fs\nIMG_SAVEAS=4\nIMG_FORMAT=\n"
    "IMG_FLAGS=0\nIMG_VERSION=10\nIS_DPAID=Kestrevon\nIS_DPAVER=KVR_75\n"
    "IS_MASTER=master01\nIS_TIME=1700000000\nIS_COPY=1\nIS_STREAM=0\n"
    "IS_TYPE=0\nIS_FRAGMENT=1\nIS_INSTANCE=0\nIS_CLIENT=client07\n"
    "IS_SLPNAME=slp_weekly\nIMO_SIZE=0\nIMO_BLOCKSIZE=32768\nIMO_STATUS=33\n";

// The record whose text is kWorkedText; its version 0 is recorded as 10.
sts_image_def_v10_t WorkedDef() {
  sts_image_def_v10_t def = host::MakeDef("client07_1700000000", "1700000000");
  def.version = 0;
  std::strcpy(def.policy, "daily_fs");
  std::strcpy(def.isid.dpaid, "Kestrevon");
  std::strcpy(def.isid.dpaver, "KVR_75");
  stskvr_isinfo_v701_t& kvr = def.isid.info.v701;
  std::strcpy(kvr.master, "master01");
  std::strcpy(kvr.client, "client07");
  std::strcpy(kvr.slpname, "slp_weekly");
  kvr.time = 1700000000, kvr.copy = 1, kvr.fragment = 1;
  return def;
}

class InfoFileTest : public host::HostTest {};

TEST_F(InfoFileTest, WorkedExampleIsWrittenByteForByteAndKeepsItsSize) {
  const sts_image_def_v10_t def = WorkedDef();
  stsp_image_handle_s* image = nullptr;
  ASSERT_EQ(STS_EOK, Create(def, &image));
  const std::string file = ReadFile(InfoPath(def));
  EXPECT_LE(382u + 256, file.size());
  EXPECT_EQ(kWorkedText + std::string(file.size() - 382, ' '), file);

  // The last byte of a 10 MiB image; closing rewrites the text in place.
  ASSERT_EQ(STS_EOK, Write(image, "x", 10485759));
  ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  std::string want = kWorkedText;
  want.replace(want.find("WRITECOUNT=1"), 12, "WRITECOUNT=0");
  want.replace(want.find("IMO_SIZE=0"), 10, "IMO_SIZE=10485760");
  want.replace(want.find("IMO_STATUS=33"), 13, "IMO_STATUS=4");
  EXPECT_EQ(want + std::string(file.size() - want.size(), ' '), ReadFile(InfoPath(def)));
}

TEST_F(InfoFileTest, IdentityLinesFollowTheApplicationAndVersionTag) {
  sts_image_def_v10_t def = WorkedDef();
  stskvr_isinfo_v701_t& kvr = def.isid.info.v701;
  kvr.copy = 2, kvr.stream = 3, kvr.type = -1, kvr.instance = 7;
  const std::string k = "IS_DPAID=Kestrevon\nIS_DPAVER=",
                    v65 = "IS_MASTER=master01\nIS_TIME=1700000000\nIS_COPY=2\n"
                          "IS_STREAM=3\nIS_TYPE=-1\nIS_FRAGMENT=1\n"
                          "IS_INSTANCE=7\nIS_CLIENT=client07\n";
  struct Case {
    const char *dpaid, *dpaver;
    std::string lines;  // between IMG_VERSION and IMO_SIZE
    const char* client = "client07";
  } cases[] = {
      {"Kestrevon", "KVR_70", k + "KVR_70\n" + v65},
      {"Kestrevon", "KVR_65", k + "KVR_65\n" + v65},  // neither has IS_SLPNAME
      {"Kestrevon", "KVR_701000", k + "KVR_701000\n" + v65 + "IS_SLPNAME=slp_weekly\n"},
      // A line feed is written as it is when its line keeps the key order.
      {"Kestrevon", "KVR_70", k + "KVR_70\n" + v65 + "IS_SLPNAME=s\n", "client07\nIS_SLPNAME=s"},
      {"Kestrevon", "KVR_70 ", k + "KVR_70 \n"},
      {"kestrevon", "KVR_70", "IS_DPAID=kestrevon\n"},
      {"", "KVR_70", "IS_DPAID=\n"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    std::strcpy(def.isid.dpaid, c.dpaid);
    std::strcpy(def.isid.dpaver, c.dpaver);
    std::strcpy(kvr.client, c.client);
    stsp_image_handle_s* image = nullptr;  // the text as created
    ASSERT_EQ(STS_EOK, Create(def, &image)) << c.dpaid << "/" << c.dpaver;
    std::string text = ReadFile(InfoPath(def));
    size_t from = text.find("IMG_VERSION=10\n") + 15;
    EXPECT_EQ(c.lines, text.substr(from, text.find("IMO_SIZE=") - from));
    ASSERT_EQ(STS_EOK, Delete(def));
  }
}

// Spaces in the date become dots; a legacy image's names have no date and
// its data file no suffix.
TEST_F(InfoFileTest, NamingPutsEveryFileInTheLsuUnderItsBaseName) {
  host::WriteFile(dir_.File("hostA_full"), "");  // a legacy image opens the
  host::WriteFile(dir_.File("hostA_full.meta"), "");  // data files it finds
  for (uint32_t flags : {VADIZU_IMAGE_KIND0, VADIZU_IMAGE_LEGACY}) {
    MakeImage(host::MakeDef("hostA_full", "01 02 03", host::kSaveAsDataAndMeta,
                            flags), "", VADIZU_CLOSE_COMPLETE);
  }
  EXPECT_EQ((std::vector<std::string>{
                "hostA_full", "hostA_full.01.02.03.img",
                "hostA_full.01.02.03.info", "hostA_full.01.02.03.meta",
                "hostA_full.info", "hostA_full.meta"}),
            host::DirEntries(dir_.path()));
}

TEST_F(InfoFileTest, NewFilesArePaddedToTheFragmentSizeOfTheirFileSystem) {
  const std::string mnt = dir_.Sub("mnt"), fs = dir_.File("fs");
  if (system(("truncate -s 8M " + fs + " && mkfs.ext4 -q -F -b 1024 " + fs +
              " && mount -o loop " + fs + " " + mnt + " >/dev/null 2>&1").c_str())) {
    GTEST_SKIP() << "could not loop-mount an ext4 (root and mkfs.ext4 needed)";
  }
  std::shared_ptr<void> unmount(nullptr, [&](void*) { umount2(mnt.c_str(), MNT_DETACH); });
  lsu_ = host::MakeLsu(mnt);
  // Text lengths around a whole fragment and the 256-space minimum.
  const std::pair<size_t, off_t> cases[] = {
      {768, 1024}, {769, 2048}, {1024, 2048}, {1025, 2048}};
  for (const auto& [length, size] : cases) {
    sts_image_def_v10_t def = WorkedDef();  // 382 bytes of text
    std::strcat(def.policy, std::string(length - 382, 'p').c_str());
    stsp_image_handle_s* image = nullptr;
    ASSERT_EQ(STS_EOK, Create(def, &image));
    EXPECT_EQ(size, host::FileSize(InfoPath(def))) << "text of " << length;
    ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE));
    EXPECT_EQ(size, host::FileSize(InfoPath(def))) << "text of " << length;
    ASSERT_EQ(STS_EOK, Delete(def));
  }
}

TEST_F(InfoFileTest, ReaderToleratesWhatHandsAndOtherToolsWrite) {
  struct Case {
    const char* name;
    std::string content;
    int writer;  // what opening for writing answers
    std::string read;  // basename|policy|flags|type|size|blocksize|status|version
  } cases[] = {
      {"blanks around =", "WRITECOUNT = 1\nIMO_STATUS=1\nIMG_BASENAME =b\n", STS_EOK, "||0|0|0|0|1|0"},
      {"keys are case sensitive", "writecount=1\nIMO_STATUS=1\n", STS_EOK, "||0|0|0|0|1|0"},
      {"later key wins", "IMO_STATUS=4\nIMO_STATUS=1\nIMG_POLICY=a=b\n", STS_EOK, "|a=b|0|0|0|0|1|0"},
      {"CRLF", "IMG_POLICY=pol\r\nIMO_SIZE=42\r\nIMO_STATUS=1\r\n", STS_EOK, "|pol\r|0|0|42|0|1|0"},
      {"-1", "IMG_FLAGS=-1\nIS_TYPE=-1\nIMO_STATUS=1\nIMG_VERSION=10\n", STS_EOK, "||4294967295|-1|0|0|1|10"},
      {"numbers", "IMO_SIZE= 42abc\nIMO_BLOCKSIZE=abc\nIMO_STATUS=1\n", STS_EOK, "||0|0|42|0|1|0"},
      {"long text, another image's", "IMG_BASENAME=" + std::string(2000, 'b') + "\nIMO_STATUS=1\n", STS_ENOENT, std::string(1023, 'b') + "||0|0|0|0|1|0"},
      {"IMO_SIZE=12345 cut at byte 4096 after \"12\"", "IMG_POLICY=x\n" + std::string(4071, ' ') + "\nIMO_SIZE=12345\nIMO_STATUS=1\n", STS_EIMGSTATE, "|x|0|0|12|0|0|0"},
      {"writer mark", "WRITECOUNT=1\nIMO_STATUS=33\nIMO_BLOCKSIZE=512\n", STS_EBUSY, "||0|0|0|512|33|0"},
      {"empty", "", STS_EIMGSTATE, "||0|0|0|0|0|0"},
      {"spaces only", std::string(4096, ' '), STS_EIMGSTATE, "||0|0|0|0|0|0"},
  };
  const sts_image_def_v10_t def = host::MakeDef("row");
  host::WriteFile(Base(def) + ".img", "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host::WriteFile(InfoPath(def), c.content);
    sts_image_info_v10_t info;
    std::memset(&info, 0xee, sizeof info);
    ASSERT_EQ(STS_EOK, PropsByName(def, &info));
    EXPECT_STREQ(server_, info.server);
    EXPECT_STREQ(lsu_.name, info.lsu.name);
    std::ostringstream read;
    read << info.def.basename << '|' << info.def.policy << '|' << info.def.flags << '|'
         << info.def.isid.info.v65.type << '|' << info.size << '|' << info.blocksize << '|'
         << info.status << '|' << info.def.version;
    EXPECT_EQ(c.read, read.str());
    stsp_image_handle_s* image = nullptr;
    EXPECT_EQ(c.writer, Open(def, VADIZU_OPEN_WRITE, &image));
    if (c.writer == STS_EOK) {
      EXPECT_EQ(STS_EOK, vadizu_close_image(image, 0));
    }
  }
}

TEST_F(InfoFileTest, StatusProtocolAndRefusalsLeaveTheFileAsItWas) {
  sts_image_def_v10_t def = host::MakeDef("proto");
  const std::string path = InfoPath(def);
  stsp_image_handle_s *a = nullptr, *b = nullptr;
  auto reader = [&] {  // reading marks memory only: it sees status | 0x10
    sts_image_info_v10_t info{};
    const int rc = Open(def, VADIZU_OPEN_READ, &b);
    EXPECT_EQ(STS_EOK, vadizu_get_image_prop(b, &info));
    return info.status == (host::ReadInfoFile(path).status | 0x10) ? rc : -1;
  };
  auto rewrite = [&](const char* line, const char* by) {  // another hand
    host::WriteFile(path, std::regex_replace(ReadFile(path), std::regex(line), by));
    return STS_EOK;
  };
  struct Step {
    const char* name;
    std::function<int()> call;
    int rc;
    std::string after;  // "WRITECOUNT,IMO_STATUS", "same" bytes, or "gone"
  } steps[] = {
      {"create", [&] { return Create(def, &a); }, STS_EOK, "1,33"},
      {"create again", [&] { return Create(def, &b); }, STS_EEXIST, "same"},
      {"second writer", [&] { return Open(def, VADIZU_OPEN_WRITE, &b); }, STS_EBUSY, "same"},
      {"reader while written", reader, STS_EOK, "same"},
      {"reader closes complete", [&] { return vadizu_close_image(b, 1); }, STS_EOK, "same"},
      {"close incomplete", [&] { return vadizu_close_image(a, 0); }, STS_EOK, "0,1"},
      {"reopen for writing", [&] { return Open(def, VADIZU_OPEN_WRITE, &a); }, STS_EOK, "1,33"},
      {"close complete", [&] { return vadizu_close_image(a, 1); }, STS_EOK, "0,4"},
      {"complete refuses writer", [&] { return Open(def, VADIZU_OPEN_WRITE, &b); }, STS_EIMGSTATE, "same"},
      {"reader of complete", reader, STS_EOK, "same"},
      {"delete", [&] { return Delete(def); }, STS_EOK, "gone"},
      {"create anew", [&] { return Create(def, &a); }, STS_EOK, "1,33"},
      {"status rewritten complete by another hand", [&] { return rewrite("IMO_STATUS=33", "IMO_STATUS=37"); }, STS_EOK, "1,37"},
      {"close complete refused by the status", [&] { return vadizu_close_image(a, 1); }, STS_EINTERNAL, "same"},
      {"retry of the failed close: the handle is gone", [&] { return vadizu_close_image(a, 1); }, STS_EINVAL, "same"},
      {"delete the rewritten image", [&] { return Delete(def); }, STS_EOK, "gone"},
      {"create once more", [&] { return Create(def, &a); }, STS_EOK, "1,33"},
      {"mark rewritten by another hand", [&] { return rewrite("WRITECOUNT=1", "WRITECOUNT=0"); }, STS_EOK, "0,33"},
      {"close refused by the mark", [&] { return vadizu_close_image(a, 0); }, STS_EINTERNAL, "same"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    const std::string before = ReadFile(path);
    EXPECT_EQ(s.rc, s.call());
    if (s.after == "same") {
      EXPECT_EQ(before, ReadFile(path));
    } else {
      EXPECT_EQ(s.after, host::FileSize(path) < 0 ? "gone" : State(def));
    }
  }
}

TEST_F(InfoFileTest, WriterWaitsForTheProcessHoldingTheInfoLock) {
  sts_image_def_v10_t def = host::MakeDef("locked");
  MakeImage(def, "data", VADIZU_CLOSE_INCOMPLETE);
  int fd = open(InfoPath(def).c_str(), O_RDWR);
  struct flock lock = {F_WRLCK, SEEK_SET, 0, 1, 0};  // its first byte
  ASSERT_EQ(0, fcntl(fd, F_SETLK, &lock));
  stsp_image_handle_s* image = nullptr;
  pid_t writer = host::Spawn(
      [&] { return Open(def, VADIZU_OPEN_WRITE, &image) == STS_EOK ? 0 : 1; });
  struct stat info_file;
  ASSERT_EQ(0, fstat(fd, &info_file));
  // Up to five seconds for /proc/locks to show a wait ("->") on the file.
  const std::regex waiter("-> [^\n]*:" + std::to_string(info_file.st_ino) + " ");
  bool waited = false;
  for (int i = 0; i < 1000 && !waited; ++i, usleep(5000)) {
    waited = std::regex_search(ReadFile("/proc/locks"), waiter);
  }
  EXPECT_TRUE(waited) << "nobody waited";
  EXPECT_EQ("0,1", State(def));  // untouched while the lock is held
  close(fd);  // releases the lock
  EXPECT_EQ("exit 0", host::Reap(writer));
  EXPECT_EQ("1,33", State(def));
}

}  // namespace
