// Info files through the exported functions: exact text and padding, names,
// what a reader tolerates, the writer protocol and its lock across processes.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <regex>

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

// The text of an info file: everything up to its last line feed.
std::string TextOf(const std::string& file) {
  return file.substr(0, file.rfind('\n') + 1);
}

class InfoFileTest : public host::HostTest {};

TEST_F(InfoFileTest, WorkedExampleIsWrittenByteForByteAndKeepsItsSize) {
  ASSERT_EQ(382u, std::strlen(kWorkedText));
  sts_image_def_v10_t def = host::MakeDef("client07_1700000000", "1700000000");
  def.version = 0;  // recorded as 10
  std::strcpy(def.policy, "daily_fs");
  std::strcpy(def.isid.dpaid, "Kestrevon");
  std::strcpy(def.isid.dpaver, "KVR_75");
  stskvr_isinfo_v701_t& kvr = def.isid.info.v701;
  std::strcpy(kvr.master, "master01");
  std::strcpy(kvr.client, "client07");
  std::strcpy(kvr.slpname, "slp_weekly");
  kvr.time = 1700000000, kvr.copy = 1, kvr.fragment = 1;
  stsp_image_handle_s* image = nullptr;
  ASSERT_EQ(STS_EOK, Create(def, &image));
  std::string file = ReadFile(InfoPath(def));
  EXPECT_LE(382u + 256, file.size());
  EXPECT_EQ(kWorkedText, file.substr(0, 382));
  EXPECT_EQ(std::string::npos, file.find_first_not_of(' ', 382));

  // The last byte of a 10 MiB image; closing rewrites the text in place.
  ASSERT_EQ(STS_EOK, Write(image, "x", 10485759));
  ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  std::string rewritten = ReadFile(InfoPath(def)), want = kWorkedText;
  want.replace(want.find("WRITECOUNT=1"), 12, "WRITECOUNT=0");
  want.replace(want.find("IMO_SIZE=0"), 10, "IMO_SIZE=10485760");
  want.replace(want.find("IMO_STATUS=33"), 13, "IMO_STATUS=4");
  EXPECT_EQ(388u, want.size());
  EXPECT_EQ(want, TextOf(rewritten));
  EXPECT_EQ(file.size(), rewritten.size());
  EXPECT_EQ(std::string::npos, rewritten.find_first_not_of(' ', want.size()));
}

TEST_F(InfoFileTest, IdentityLinesFollowTheApplicationAndVersionTag) {
  const std::string k = "IS_DPAID=Kestrevon\nIS_DPAVER=",
                    v65 = "IS_MASTER=mst1\nIS_TIME=1700000000\nIS_COPY=2\n"
                          "IS_STREAM=3\nIS_TYPE=-1\nIS_FRAGMENT=1\n"
                          "IS_INSTANCE=7\nIS_CLIENT=cl1\n";
  struct Case {
    const char *dpaid, *dpaver;
    std::string lines;  // between IMG_VERSION and IMO_SIZE
  } cases[] = {
      {"Kestrevon", "KVR_70", k + "KVR_70\n" + v65},
      {"Kestrevon", "KVR_65", k + "KVR_65\n" + v65},
      {"Kestrevon", "KVR_701000", k + "KVR_701000\n" + v65 + "IS_SLPNAME=slp\n"},
      {"Kestrevon", "KVR_70 ", k + "KVR_70 \n"},
      {"kestrevon", "KVR_70", "IS_DPAID=kestrevon\n"},
      {"", "KVR_70", "IS_DPAID=\n"},
      {"", "", ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    sts_image_def_v10_t def = host::MakeDef("id" + std::to_string(n++));
    std::strcpy(def.isid.dpaid, c.dpaid);
    std::strcpy(def.isid.dpaver, c.dpaver);
    stskvr_isinfo_v701_t& kvr = def.isid.info.v701;
    std::strcpy(kvr.master, "mst1");
    std::strcpy(kvr.client, "cl1");
    std::strcpy(kvr.slpname, "slp");  // never written for the v65 tags
    kvr.time = 1700000000, kvr.copy = 2, kvr.stream = 3, kvr.type = -1;
    kvr.fragment = 1, kvr.instance = 7;
    stsp_image_handle_s* image = nullptr;  // the text as created
    ASSERT_EQ(STS_EOK, Create(def, &image)) << c.dpaid << "/" << c.dpaver;
    std::string text = ReadFile(InfoPath(def));
    size_t from = text.find("IMG_VERSION=10\n") + 15;
    EXPECT_EQ(c.lines, text.substr(from, text.find("IMO_SIZE=") - from));
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
  stsp_image_handle_s* image = nullptr;
  ASSERT_EQ(STS_EOK, Create(host::MakeDef("pad0"), &image));
  size_t probe = TextOf(ReadFile(InfoPath(host::MakeDef("pad0")))).size();
  // Text lengths around a whole fragment and the 256-space minimum.
  const std::pair<size_t, off_t> cases[] = {
      {768, 1024}, {769, 2048}, {1024, 2048}, {1025, 2048}};
  int n = 1;
  for (const auto& [length, size] : cases) {
    sts_image_def_v10_t def = host::MakeDef("pad" + std::to_string(n++));
    std::strcat(def.policy, std::string(length - probe, 'p').c_str());
    ASSERT_EQ(STS_EOK, Create(def, &image));
    EXPECT_EQ(length, TextOf(ReadFile(InfoPath(def))).size());
    EXPECT_EQ(size, host::FileSize(InfoPath(def))) << "text of " << length;
    ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE));
    EXPECT_EQ(size, host::FileSize(InfoPath(def))) << "text of " << length;
  }
}

TEST_F(InfoFileTest, ReaderToleratesWhatHandsAndOtherToolsWrite) {
  std::string cut(4096, ' ');  // an IMO_SIZE=12345 line cut after "12"
  cut.replace(0, 13, "IMG_POLICY=x\n");
  cut.replace(4096 - 12, 12, "\nIMO_SIZE=12");
  cut += "345\nIMO_STATUS=1\n";
  using Info = const sts_image_info_v10_t&;
  struct Case {
    const char* name;
    std::string content;
    int writer;  // what opening for writing answers
    std::function<void(Info)> check;
  } cases[] = {
      {"blanks around =", "WRITECOUNT = 1\nIMO_STATUS=1\nIMG_BASENAME =b\n", STS_EOK,
       [](Info i) { EXPECT_STREQ("", i.def.basename); }},
      {"keys are case sensitive", "writecount=1\nIMO_STATUS=1\n", STS_EOK,
       [](Info i) { EXPECT_EQ(1u, i.status); }},
      {"later key wins", "IMO_STATUS=4\nIMO_STATUS=1\nIMG_POLICY=a=b\n", STS_EOK,
       [](Info i) { EXPECT_STREQ("a=b", i.def.policy); }},
      {"CRLF", "IMG_POLICY=pol\r\nIMO_SIZE=42\r\nIMO_STATUS=1\r\n", STS_EOK,
       [](Info i) { EXPECT_STREQ("pol\r", i.def.policy); EXPECT_EQ(42u, i.size); }},
      {"-1", "IMG_FLAGS=-1\nIS_TYPE=-1\nIMO_STATUS=1\n", STS_EOK,
       [](Info i) { EXPECT_EQ(4294967295u, i.def.flags); EXPECT_EQ(-1, i.def.isid.info.v65.type); }},
      {"numbers", "IMO_SIZE= 42abc\nIMO_BLOCKSIZE=abc\nIMO_STATUS=1\n", STS_EOK,
       [](Info i) { EXPECT_EQ(42u, i.size); EXPECT_EQ(0u, i.blocksize); }},
      {"long text, another image's", "IMG_BASENAME=" + std::string(2000, 'b') + "\nIMO_STATUS=1\n", STS_ENOENT,
       [](Info i) { EXPECT_EQ(std::string(1023, 'b'), i.def.basename); }},
      {"line cut at byte 4096", cut, STS_EIMGSTATE,
       [](Info i) { EXPECT_EQ(12u, i.size); EXPECT_EQ(0u, i.status); }},
      {"writer mark", "WRITECOUNT=1\nIMO_STATUS=33\n", STS_EBUSY,
       [](Info i) { EXPECT_EQ(33u, i.status); }},
      {"empty", "", STS_EIMGSTATE,
       [](Info i) { EXPECT_EQ(0u, i.status); EXPECT_EQ(0u, i.blocksize); }},
      {"spaces only", std::string(4096, ' '), STS_EIMGSTATE,
       [](Info i) { EXPECT_STREQ("", i.def.basename); EXPECT_EQ(0u, i.def.version); }},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sts_image_def_v10_t def = host::MakeDef("row" + std::to_string(n++));
    host::WriteFile(InfoPath(def), c.content);
    host::WriteFile(Base(def) + ".img", "");
    sts_image_info_v10_t info;
    std::memset(&info, 0xee, sizeof info);
    ASSERT_EQ(STS_EOK, PropsByName(def, &info));
    EXPECT_STREQ(server_, info.server);
    EXPECT_STREQ(lsu_.name, info.lsu.name);
    c.check(info);
    stsp_image_handle_s* image = nullptr;
    EXPECT_EQ(c.writer, Open(def, VADIZU_OPEN_WRITE, &image));
    if (c.writer == STS_EOK) {
      EXPECT_EQ(STS_EOK, vadizu_close_image(image, 0));
    }
  }
}

TEST_F(InfoFileTest, StatusProtocolAndRefusalsLeaveTheFileAsItWas) {
  enum Action { kCreate, kWriter, kReader, kClose, kTamper, kDelete };
  struct Step {
    const char* name;
    Action action;
    int slot, close_flags, rc;  // slot: the handle opened or closed
    std::string after;  // "WRITECOUNT,IMO_STATUS" (what kTamper writes),
                        // "same" bytes, or "gone"
  } steps[] = {
      {"create", kCreate, 0, 0, STS_EOK, "1,33"},
      {"create again", kCreate, 1, 0, STS_EEXIST, "same"},
      {"second writer", kWriter, 1, 0, STS_EBUSY, "same"},
      {"reader while written", kReader, 1, 0, STS_EOK, "same"},
      {"reader closes complete", kClose, 1, 1, STS_EOK, "same"},
      {"close incomplete", kClose, 0, 0, STS_EOK, "0,1"},
      {"reopen for writing", kWriter, 0, 0, STS_EOK, "1,33"},
      {"another writer", kWriter, 1, 0, STS_EBUSY, "same"},
      {"close complete", kClose, 0, 1, STS_EOK, "0,4"},
      {"complete refuses writer", kWriter, 1, 0, STS_EIMGSTATE, "same"},
      {"reader of complete", kReader, 1, 0, STS_EOK, "same"},
      {"reader closes", kClose, 1, 0, STS_EOK, "same"},
      {"delete", kDelete, 0, 0, STS_EOK, "gone"},
      {"create anew", kCreate, 0, 0, STS_EOK, "1,33"},
      {"status rewritten complete by another hand", kTamper, 0, 0, STS_EOK, "1,37"},
      {"close complete refused by the status", kClose, 0, 1, STS_EINTERNAL, "same"},
      {"retry of the failed close: the handle is gone", kClose, 0, 1, STS_EINVAL, "same"},
      {"delete the rewritten image", kDelete, 0, 0, STS_EOK, "gone"},
      {"create once more", kCreate, 0, 0, STS_EOK, "1,33"},
      {"mark rewritten by another hand", kTamper, 0, 0, STS_EOK, "0,33"},
      {"close refused by the mark", kClose, 0, 0, STS_EINTERNAL, "same"},
      {"delete the marked image", kDelete, 0, 0, STS_EOK, "gone"},
  };
  sts_image_def_v10_t def = host::MakeDef("proto");
  const std::string path = InfoPath(def);
  stsp_image_handle_s* slots[2] = {};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    std::string before = ReadFile(path), tampered = before;
    int rc = STS_EOK;
    switch (s.action) {
      case kCreate: rc = Create(def, &slots[s.slot]); break;
      case kWriter: rc = Open(def, VADIZU_OPEN_WRITE, &slots[s.slot]); break;
      case kReader: rc = Open(def, VADIZU_OPEN_READ, &slots[s.slot]); break;
      case kClose: rc = vadizu_close_image(slots[s.slot], s.close_flags); break;
      case kDelete: rc = Delete(def); break;
      case kTamper:
        tampered.replace(tampered.find("WRITECOUNT=1"), 12,
                         "WRITECOUNT=" + s.after.substr(0, 1));
        tampered.replace(tampered.find("IMO_STATUS=33"), 13,
                         "IMO_STATUS=" + s.after.substr(2));
        host::WriteFile(path, tampered);
    }
    EXPECT_EQ(s.rc, rc);
    if (s.after == "same") {
      EXPECT_EQ(before, ReadFile(path));
    } else {
      EXPECT_EQ(s.after, host::FileSize(path) < 0 ? "gone" : State(def));
    }
    if (s.action == kReader && rc == STS_EOK) {  // reading marks memory only
      sts_image_info_v10_t info{};
      EXPECT_EQ(STS_EOK, vadizu_get_image_prop(slots[s.slot], &info));
      EXPECT_EQ(host::ReadInfoFile(path).status | 0x10, info.status);
    }
  }
}

// Waits up to five seconds for /proc/locks to show a process waiting for a
// lock on `inode`.
bool AwaitLockWaiter(ino_t inode) {
  const std::regex waiter("-> [^\n]*:" + std::to_string(inode) + " ");
  for (int i = 0; i < 1000; ++i, usleep(5000)) {
    if (std::regex_search(host::ReadFile("/proc/locks"), waiter)) return true;
  }
  return false;
}

TEST_F(InfoFileTest, WriterWaitsForTheProcessHoldingTheInfoLock) {
  sts_image_def_v10_t def = host::MakeDef("locked");
  MakeImage(def, "data", VADIZU_CLOSE_INCOMPLETE);
  int fd = open(InfoPath(def).c_str(), O_RDWR);
  struct flock lock = {};
  lock.l_type = F_WRLCK, lock.l_whence = SEEK_SET, lock.l_len = 1;
  ASSERT_EQ(0, fcntl(fd, F_SETLK, &lock));
  pid_t writer = host::Spawn([&] {
    stsp_image_handle_s* image = nullptr;
    return Open(def, VADIZU_OPEN_WRITE, &image) == STS_EOK ? 0 : 1;
  });
  struct stat info_file;
  ASSERT_EQ(0, fstat(fd, &info_file));
  EXPECT_TRUE(AwaitLockWaiter(info_file.st_ino)) << "nobody waited";
  EXPECT_EQ("0,1", State(def));  // untouched while the lock is held
  close(fd);  // releases the lock
  EXPECT_EQ("exit 0", host::Reap(writer));
  EXPECT_EQ("1,33", State(def));
}

}  // namespace
