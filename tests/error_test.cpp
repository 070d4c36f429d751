// The system error mapping and the log line rules.
#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "error/VADIZUImageError.h"

namespace {

TEST(ErrorCodeTest, SystemErrorsMapToTheirStatusCodes) {
  const std::pair<int, int> cases[] = {
      {EPERM, STS_EPERM},       {EACCES, STS_EPERM},       {ENOENT, STS_ENOENT},
      {EEXIST, STS_EEXIST},     {ENFILE, STS_EFILESYSTEM}, {EMFILE, STS_EFILESYSTEM},
      {EFBIG, STS_EFILESYSTEM}, {ENOSPC, STS_ENOSPC},      {EDQUOT, STS_ENOSPC},
      {0, STS_ESYS},            {EIO, STS_ESYS}};
  for (const auto& [error, code] : cases) {
    EXPECT_EQ(VADIZUImageError::SysErrorToStsError(error), code) << error;
  }
}

using Lines = std::vector<std::pair<std::string, sts_severity_v7_t>>;

// A line reaches the host when its severity shares a bit with the mask. An
// exception's FILE, LINE and code name (misspelt when unknown) lead to the
// throw; only a missing file is at severity 1, below a host's error mask. No
// callback, no session, or a callback that throws must not end the process.
TEST(LogTest, LinesReachTheHostByMaskBitAndNameTheirThrow) {
  const std::string hello = "ROZOvareDuzaruv: hello",
      caught = "ROZOvareDuzaruv: Caught exception in VADIZUImage::Close",
      at = caught + ", FILE=../VADIZUImage.cpp, FUNCTION=, LINE=42, ERROR=";
  const struct {
    uint32_t mask;
    int code;  // thrown; 0 logs "hello" at `severity`, -1 no exception
    sts_severity_v7_t severity;
    std::string line;  // delivered at `severity`; "" for none
  } cases[] = {
      {4, 0, 1, ""},    {1, 0, 1, hello}, {3, 0, 1, hello}, {1, 0, 3, hello},
      {2, 0, 3, hello}, {3, 0, 3, hello}, {4, 0, 3, ""},    {4, 0, 4, hello},
      {3, 0, 4, ""},    {0, 0, 4, ""},    {7, 0, 4, hello},
      {7, STS_EEXIST, 4, at + "STS_EEXIST"}, {7, STS_ENOENT, 1, at + "STS_ENOENT"},
      {7, STS_EINVAL, 4, at + "STS_EINVAL"}, {7, 2060041, 4, at + "STS_UNKOWN"},
      {4, STS_ENOENT, 1, ""},                {4, -1, 4, caught},
  };
  for (const auto& c : cases) {
    Lines lines;
    const sts_session_def_v7_t host = {
        0, &lines, [](void* to, const char* line, sts_severity_v7_t s) {
          static_cast<Lines*>(to)->emplace_back(line, s);
          throw std::runtime_error("host callback failed");
        }, c.mask};
    const sts_session_def_v7_t silent = {0, &lines, nullptr, c.mask};
    const sts_session_def_v7_t* sessions[] = {&host, &silent, nullptr};
    const auto e = VADIZUImageError::Make(c.code, "../VADIZUImage.cpp", 42);
    for (const sts_session_def_v7_t* session : sessions) {
      if (c.code == 0) {
        VADIZUImageError::Log(session, "hello", c.severity);
      } else {
        VADIZUImageError::Log(session, "VADIZUImage::Close",
                              c.code < 0 ? nullptr : &e);
      }
    }
    EXPECT_EQ((c.line.empty() ? Lines{} : Lines{{c.line, c.severity}}), lines)
        << "mask " << c.mask << " code " << c.code << " severity " << c.severity;
  }
}

}  // namespace
