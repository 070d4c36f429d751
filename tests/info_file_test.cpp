// Info files through the exported functions: exact text and padding, naming,
// what a reader tolerates, the writer/status protocol and its locking across
// processes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "host.h"

namespace {

using host::FileSize;
using host::InfoFields;
using host::ReadFile;

const char kWorkedText[] =
    "WRITECOUNT=1\nIMG_BASENAME=client07_1700000000\nIMG_DATE=1700000000\n"
    "IMG_FULLDATE=1700000000\nIMG_POLICY=daily_fs\nIMG_SAVEAS=4\nIMG_FORMAT=\n"
    "IMG_FLAGS=0\nIMG_VERSION=10\nIS_DPAID=Kestrevon\nIS_DPAVER=KVR_75\n"
    "IS_MASTER=master01\nIS_TIME=1700000000\nIS_COPY=1\nIS_STREAM=0\n"
    "IS_TYPE=0\nIS_FRAGMENT=1\nIS_INSTANCE=0\nIS_CLIENT=client07\n"
    "IS_SLPNAME=slp_weekly\nIMO_SIZE=0\nIMO_BLOCKSIZE=32768\nIMO_STATUS=33\n";

sts_image_def_v10_t WorkedDef() {
  sts_image_def_v10_t def = host::MakeDef("client07_1700000000", "1700000000");
  std::strcpy(def.policy, "daily_fs");
  std::strcpy(def.isid.dpaid, "Kestrevon");
  std::strcpy(def.isid.dpaver, "KVR_75");
  stskvr_isinfo_v701_t& kvr = def.isid.info.v701;
  std::strcpy(kvr.master, "master01");
  kvr.time = 1700000000;
  kvr.copy = 1;
  kvr.fragment = 1;
  std::strcpy(kvr.client, "client07");
  std::strcpy(kvr.slpname, "slp_weekly");
  return def;
}

// Text part of an info file: everything up to and including the last '\n'.
std::string TextOf(const std::string& file) {
  return file.substr(0, file.rfind('\n') + 1);
}

bool AllSpaces(const std::string& bytes) {
  return bytes.find_first_not_of(' ') == std::string::npos;
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

class InfoFileTest : public host::HostTest {};

TEST_F(InfoFileTest, WorkedExampleIsWrittenByteForByteAndKeepsItsSize) {
  ASSERT_EQ(382u, std::strlen(kWorkedText));
  sts_image_def_v10_t def = WorkedDef();
  stsp_image_handle_s* image = nullptr;
  ASSERT_EQ(STS_EOK, Create(def, &image));
  std::string file = ReadFile(InfoPath(def));
  size_t expected = host::NewInfoFileSize(382, host::FragmentSize(dir_.path()));
  EXPECT_EQ(expected, file.size());
  EXPECT_EQ(kWorkedText, file.substr(0, 382));
  EXPECT_TRUE(AllSpaces(file.substr(382)));

  // Last byte of a 10 MiB image; closing complete rewrites the text in place.
  ASSERT_EQ(STS_EOK, Write(image, "x", 10485759));
  ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  std::string rewritten = ReadFile(InfoPath(def));
  EXPECT_EQ(expected, rewritten.size());
  std::string text = TextOf(rewritten), want = kWorkedText;
  want.replace(want.find("WRITECOUNT=1"), 12, "WRITECOUNT=0");
  want.replace(want.find("IMO_SIZE=0"), 10, "IMO_SIZE=10485760");
  want.replace(want.find("IMO_STATUS=33"), 13, "IMO_STATUS=4");
  EXPECT_EQ(388u, want.size());
  EXPECT_EQ(want, text);
  EXPECT_TRUE(AllSpaces(rewritten.substr(text.size())));
}

TEST_F(InfoFileTest, IdentityLinesFollowTheApplicationAndVersionTag) {
  const std::string kvr65 =
      "IS_MASTER=mst1\nIS_TIME=1700000000\nIS_COPY=2\nIS_STREAM=3\n"
      "IS_TYPE=-1\nIS_FRAGMENT=1\nIS_INSTANCE=7\nIS_CLIENT=cl1\n";
  struct Case {
    const char* dpaid;
    const char* dpaver;
    std::string lines;  // between IMG_VERSION and IMO_SIZE
  } cases[] = {
      {"Kestrevon", "KVR_70", "IS_DPAID=Kestrevon\nIS_DPAVER=KVR_70\n" + kvr65},
      {"Kestrevon", "KVR_65", "IS_DPAID=Kestrevon\nIS_DPAVER=KVR_65\n" + kvr65},
      {"Kestrevon", "KVR_701000", "IS_DPAID=Kestrevon\nIS_DPAVER=KVR_701000\n" + kvr65 + "IS_SLPNAME=slp\n"},
      {"Kestrevon", "KVR_70 ", "IS_DPAID=Kestrevon\nIS_DPAVER=KVR_70 \n"},
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
    kvr.time = 1700000000, kvr.copy = 2, kvr.stream = 3, kvr.type = -1;
    kvr.fragment = 1, kvr.instance = 7;
    std::strcpy(kvr.client, "cl1");
    std::strcpy(kvr.slpname, "slp");  // never written for the v65 tags
    stsp_image_handle_s* image = nullptr;
    ASSERT_EQ(STS_EOK, Create(def, &image)) << c.dpaid << "/" << c.dpaver;
    std::string text = ReadFile(InfoPath(def));
    size_t from = text.find("IMG_VERSION=10\n") + 15;
    EXPECT_EQ(c.lines, text.substr(from, text.find("IMO_SIZE=") - from))
        << c.dpaid << "/" << c.dpaver;
    EXPECT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  }
}

TEST_F(InfoFileTest, NamingPutsEveryFileInTheLsuUnderItsBaseName) {
  struct Case {
    bool legacy;
    bool trailing_slash;
    std::vector<std::string> files;
  } cases[] = {
      {false, false, {"hostA_full.01.02.03.img", "hostA_full.01.02.03.info", "hostA_full.01.02.03.meta"}},
      {false, true, {"hostA_full.01.02.03.img", "hostA_full.01.02.03.info", "hostA_full.01.02.03.meta"}},
      {true, false, {"hostA_full", "hostA_full.info", "hostA_full.meta"}},
      {true, true, {"hostA_full", "hostA_full.info", "hostA_full.meta"}},
  };
  for (const Case& c : cases) {
    host::ScratchDir scratch;
    std::string images = scratch.File("srv/images");
    ASSERT_TRUE(std::filesystem::create_directories(images));
    sts_lsu_name_v7_t lsu = host::MakeLsu(images + (c.trailing_slash ? "/" : ""));
    sts_image_def_v10_t def = host::MakeDef(
        "hostA_full", "01 02 03", VADIZU_SAVEAS_IMAGE | VADIZU_SAVEAS_CLEAR_FILES,
        c.legacy ? VADIZU_IMAGE_LEGACY : VADIZU_IMAGE_KIND0);
    if (c.legacy) {  // a legacy image opens the data files it finds
      host::WriteFile(images + "/hostA_full", "");
      host::WriteFile(images + "/hostA_full.meta", "");
    }
    stsp_image_handle_s* image = nullptr;
    ASSERT_EQ(STS_EOK, vadizu_create_image(&lsu, log_.get(), server_, &def, 0, &image));
    EXPECT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
    EXPECT_EQ(c.files, host::DirEntries(images)) << c.legacy << c.trailing_slash;
    EXPECT_EQ(std::vector<std::string>{"srv"}, host::DirEntries(scratch.path()));
    EXPECT_EQ("4", InfoFields(images + "/" + c.files[1])["IMO_STATUS"]);
  }
}

TEST_F(InfoFileTest, NewFilesArePaddedToTheFragmentSizeOfTheirFileSystem) {
  std::string mnt = dir_.File("mnt"), why;
  ASSERT_EQ(0, mkdir(mnt.c_str(), 0700));
  auto mounted = host::ScopedMount::Ext4(mnt, dir_.File("fs.img"), 1024, &why);
  if (!mounted) GTEST_SKIP() << why;
  ASSERT_EQ(1024u, host::FragmentSize(mnt));
  lsu_ = host::MakeLsu(mnt);
  sts_image_def_v10_t worked = WorkedDef();
  stsp_image_handle_s* image = nullptr;
  ASSERT_EQ(STS_EOK, Create(worked, &image));
  EXPECT_EQ(1024, FileSize(mnt + "/client07_1700000000.1700000000.info"));  // 642 spaces
  // Text lengths around a whole fragment and the 256-space minimum.
  sts_image_def_v10_t probe = host::MakeDef("pad00");
  ASSERT_EQ(STS_EOK, Create(probe, &image));
  size_t base = TextOf(ReadFile(mnt + "/pad00.d.info")).size();
  int n = 1;
  for (size_t target : {768, 769, 1024, 1025}) {
    sts_image_def_v10_t def = host::MakeDef("pad0" + std::to_string(n++));
    std::string policy = std::string(def.policy) + std::string(target - base, 'p');
    std::strcpy(def.policy, policy.c_str());
    ASSERT_EQ(STS_EOK, Create(def, &image));
    std::string path = mnt + "/" + def.basename + ".d.info";
    std::string file = ReadFile(path);
    EXPECT_EQ(target, TextOf(file).size());
    EXPECT_EQ(host::NewInfoFileSize(target, 1024), file.size()) << "text " << target;
    ASSERT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_INCOMPLETE));
    EXPECT_EQ(host::NewInfoFileSize(target, 1024), static_cast<size_t>(FileSize(path)));
  }
}

TEST_F(InfoFileTest, ReaderToleratesWhatHandsAndOtherToolsWrite) {
  std::string cut(4096, ' ');  // an IMO_SIZE=12345 line cut after "12"
  cut.replace(0, 13, "IMG_POLICY=x\n");
  cut.replace(4096 - 12, 12, "\nIMO_SIZE=12");
  cut += "345\nIMO_STATUS=1\n";
  struct Case {
    const char* name;
    std::string content;
    int open_for_writing;  // what a writer is told
    std::function<void(const sts_image_info_v10_t&)> check;
  } cases[] = {
      {"blanks around =", "WRITECOUNT = 1\nIMO_STATUS=1\nIMG_BASENAME =b\n", STS_EOK,
       [](auto& i) { EXPECT_STREQ("", i.def.basename); }},
      {"keys are case sensitive", "writecount=1\nIMO_STATUS=1\n", STS_EOK,
       [](auto& i) { EXPECT_EQ(1u, i.status); }},
      {"later key wins", "IMO_STATUS=4\nIMO_STATUS=1\nIMG_POLICY=a=b\n", STS_EOK,
       [](auto& i) { EXPECT_STREQ("a=b", i.def.policy); }},
      {"CRLF", "IMG_POLICY=pol\r\nIMO_SIZE=42\r\nIMO_STATUS=1\r\n", STS_EOK,
       [](auto& i) { EXPECT_STREQ("pol\r", i.def.policy); EXPECT_EQ(42u, i.size); }},
      {"-1 on unsigned and signed", "IMG_FLAGS=-1\nIS_TYPE=-1\nIMO_STATUS=1\n", STS_EOK,
       [](auto& i) { EXPECT_EQ(4294967295u, i.def.flags); EXPECT_EQ(-1, i.def.isid.info.v65.type); }},
      {"numbers with blanks and tails", "IMO_SIZE= 42abc\nIMO_BLOCKSIZE=abc\nIMO_STATUS=1\n", STS_EOK,
       [](auto& i) { EXPECT_EQ(42u, i.size); EXPECT_EQ(0u, i.blocksize); }},
      {"long text is cut", "IMG_BASENAME=" + std::string(2000, 'b') + "\nIMO_STATUS=1\n", STS_EOK,
       [](auto& i) { EXPECT_EQ(std::string(1023, 'b'), i.def.basename); }},
      {"only 4096 bytes are read", cut, STS_EIMGSTATE,
       [](auto& i) { EXPECT_EQ(12u, i.size); EXPECT_EQ(0u, i.status); }},
      {"writer mark", "WRITECOUNT=1\nIMO_STATUS=33\n", STS_EBUSY,
       [](auto& i) { EXPECT_EQ(33u, i.status); }},
      {"empty file", "", STS_EIMGSTATE,
       [](auto& i) { EXPECT_EQ(0u, i.status); EXPECT_EQ(0u, i.blocksize); }},
      {"spaces only", std::string(4096, ' '), STS_EIMGSTATE,
       [](auto& i) { EXPECT_STREQ("", i.def.basename); EXPECT_EQ(0u, i.def.version); }},
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
    EXPECT_EQ(c.open_for_writing, Open(def, VADIZU_OPEN_WRITE, &image));
    if (c.open_for_writing == STS_EOK) {
      EXPECT_EQ(STS_EOK, vadizu_close_image(image, 0));
    }
  }
}

TEST_F(InfoFileTest, StatusProtocolAndRefusalsLeaveTheFileAsItWas) {
  enum Action { kCreate, kOpenWrite, kOpenRead, kClose, kTamper, kDelete };
  struct Step {
    const char* what;
    Action action;
    int slot;          // handle slot for open, create and close
    int flags;         // close flags
    int rc;
    const char* state;  // "WRITECOUNT,IMO_STATUS" after, or "same" bytes
  } steps[] = {
      {"create", kCreate, 0, 0, STS_EOK, "1,33"},
      {"create again", kCreate, 1, 0, STS_EEXIST, "same"},
      {"second writer", kOpenWrite, 1, 0, STS_EBUSY, "same"},
      {"reader while written", kOpenRead, 1, 0, STS_EOK, "same"},
      {"reader closes complete", kClose, 1, 1, STS_EOK, "same"},
      {"close incomplete", kClose, 0, 0, STS_EOK, "0,1"},
      {"reopen for writing", kOpenWrite, 0, 0, STS_EOK, "1,33"},
      {"another writer", kOpenWrite, 1, 0, STS_EBUSY, "same"},
      {"close complete", kClose, 0, 1, STS_EOK, "0,4"},
      {"complete refuses writer", kOpenWrite, 1, 0, STS_EIMGSTATE, "same"},
      {"reader of complete", kOpenRead, 1, 0, STS_EOK, "same"},
      {"reader closes", kClose, 1, 0, STS_EOK, "same"},
      {"delete", kDelete, 0, 0, STS_EOK, "gone"},
      {"create anew", kCreate, 0, 0, STS_EOK, "1,33"},
      {"mark rewritten by another hand", kTamper, 0, 0, STS_EOK, "0,33"},
      {"close refused by the mark", kClose, 0, 1, STS_EINTERNAL, "same"},
      {"delete the marked image", kDelete, 0, 0, STS_EOK, "gone"},
      {"open missing", kOpenRead, 1, 0, STS_ENOENT, "gone"},
      {"delete missing", kDelete, 0, 0, STS_ENOENT, "gone"},
  };
  sts_image_def_v10_t def = host::MakeDef("proto");
  std::string path = InfoPath(def);
  stsp_image_handle_s* slots[2] = {nullptr, nullptr};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    std::string before = ReadFile(path);
    int rc = STS_EOK;
    switch (s.action) {
      case kCreate: rc = Create(def, &slots[s.slot]); break;
      case kOpenWrite: rc = Open(def, VADIZU_OPEN_WRITE, &slots[s.slot]); break;
      case kOpenRead: rc = Open(def, VADIZU_OPEN_READ, &slots[s.slot]); break;
      case kClose: rc = vadizu_close_image(slots[s.slot], s.flags); break;
      case kDelete:
        rc = vadizu_delete_image(&lsu_, log_.get(), server_, &def, 0);
        break;
      case kTamper: {
        std::string file = before;
        file.replace(file.find("WRITECOUNT=1"), 12, "WRITECOUNT=0");
        host::WriteFile(path, file);
        break;
      }
    }
    EXPECT_EQ(s.rc, rc);
    std::string state = s.state;
    if (state == "same") {
      EXPECT_EQ(before, ReadFile(path));
    } else if (state == "gone") {
      EXPECT_FALSE(host::Exists(path));
    } else {
      auto fields = InfoFields(path);
      EXPECT_EQ(state, fields["WRITECOUNT"] + "," + fields["IMO_STATUS"]);
    }
    if (s.action == kOpenRead && rc == STS_EOK) {  // reading shows in memory only
      sts_image_info_v10_t info{};
      EXPECT_EQ(STS_EOK, vadizu_get_image_prop(slots[s.slot], &info));
      EXPECT_EQ(std::stoul(InfoFields(path)["IMO_STATUS"]) | VADIZU_STATUS_READING, info.status);
    }
  }
}

TEST_F(InfoFileTest, EightCreatorsRaceAndExactlyOneWins) {
  sts_image_def_v10_t def = host::MakeDef("race");
  auto answers = host::RaceInChildren(8, [&](int) {
    stsp_image_handle_s* image = nullptr;
    return std::to_string(Create(def, &image));
  });
  EXPECT_EQ(1, std::count(answers.begin(), answers.end(), std::to_string(STS_EOK)));
  EXPECT_EQ(7, std::count(answers.begin(), answers.end(), std::to_string(STS_EEXIST)));
  auto fields = InfoFields(InfoPath(def));
  EXPECT_EQ("1", fields["WRITECOUNT"]);
  EXPECT_EQ("33", fields["IMO_STATUS"]);
  EXPECT_TRUE(host::Exists(Base(def) + ".img"));
}

TEST_F(InfoFileTest, EightWritersRaceForAnIncompleteImageAndExactlyOneWins) {
  sts_image_def_v10_t def = host::MakeDef("race");
  MakeImage(def, "data", VADIZU_CLOSE_INCOMPLETE);
  auto answers = host::RaceInChildren(8, [&](int) {
    stsp_image_handle_s* image = nullptr;
    return std::to_string(Open(def, VADIZU_OPEN_WRITE, &image));  // held till exit
  });
  EXPECT_EQ(1, std::count(answers.begin(), answers.end(), std::to_string(STS_EOK)));
  EXPECT_EQ(7, std::count(answers.begin(), answers.end(), std::to_string(STS_EBUSY)));
  EXPECT_EQ("1", InfoFields(InfoPath(def))["WRITECOUNT"]);
}

struct LockReport {
  double released_at;
  bool saw_waiter;
};

// True once /proc/locks shows `pid` waiting for a POSIX lock.
bool IsWaitingForLock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  std::string line, waiter = " -> POSIX ";
  while (std::getline(locks, line)) {
    if (line.find(waiter) != std::string::npos &&
        line.find(" " + std::to_string(pid) + " ") != std::string::npos) return true;
  }
  return false;
}

TEST_F(InfoFileTest, WriterWaitsForTheProcessHoldingTheInfoLock) {
  sts_image_def_v10_t def = host::MakeDef("locked");
  MakeImage(def, "data", VADIZU_CLOSE_INCOMPLETE);
  int ready[2], done[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(done));
  pid_t parent = getpid();
  pid_t child = fork();
  if (child == 0) {  // hold byte 0 until the parent is seen waiting for it
    int fd = open(InfoPath(def).c_str(), O_RDWR);
    struct flock lock = {};
    lock.l_type = F_WRLCK, lock.l_whence = SEEK_SET, lock.l_start = 0, lock.l_len = 1;
    char held = fcntl(fd, F_SETLK, &lock) == 0 ? 'L' : 'E';
    if (write(ready[1], &held, 1) != 1) _exit(1);
    bool seen = false;
    for (int i = 0; i < 1000 && !(seen = IsWaitingForLock(parent)); ++i) usleep(5000);
    LockReport report = {Now(), seen};
    if (write(done[1], &report, sizeof report) != sizeof report) _exit(1);
    close(fd);  // releases the lock
    _exit(0);
  }
  char held = 0;
  ASSERT_EQ(1, read(ready[0], &held, 1));
  ASSERT_EQ('L', held);
  double called = Now();
  stsp_image_handle_s* image = nullptr;
  EXPECT_EQ(STS_EOK, Open(def, VADIZU_OPEN_WRITE, &image));
  double returned = Now();
  LockReport report = {};
  ASSERT_EQ(static_cast<ssize_t>(sizeof report), read(done[0], &report, sizeof report));
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(report.saw_waiter) << "the writer never waited for the lock";
  EXPECT_GE(returned, report.released_at);
  EXPECT_LT(called, report.released_at);
  EXPECT_EQ("1", InfoFields(InfoPath(def))["WRITECOUNT"]);
  EXPECT_EQ(STS_EOK, vadizu_close_image(image, 0));
}

TEST_F(InfoFileTest, FilesAre0600WhateverTheUmask) {
  int n = 0;
  for (mode_t mask : {0000, 0022, 0077, 0777}) {
    mode_t old = umask(mask);
    sts_image_def_v10_t def = host::MakeDef(
        "mask" + std::to_string(n++), "d", VADIZU_SAVEAS_IMAGE | VADIZU_SAVEAS_OPAQUE_FILES);
    stsp_image_handle_s* image = nullptr;
    int rc = Create(def, &image);
    umask(old);
    ASSERT_EQ(STS_EOK, rc) << std::oct << mask;
    for (const char* suffix : {".info", ".img", ".meta"}) {
      EXPECT_EQ(0600, host::FileMode(Base(def) + suffix)) << suffix << " umask " << std::oct << mask;
    }
    EXPECT_EQ(STS_EOK, vadizu_close_image(image, VADIZU_CLOSE_COMPLETE));
  }
}

}  // namespace
