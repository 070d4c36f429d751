// The system error mapping and the log line rules.
#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "error/VADIZUImageError.h"

namespace {

struct Delivered {
  std::string line;
  sts_severity_v7_t severity;
};

sts_session_def_v7_t SessionFor(std::vector<Delivered>* lines, uint32_t mask) {
  sts_session_def_v7_t session{};
  session.log_context = lines;
  session.log_mask = mask;
  session.log_callback = [](void* to, const char* line, sts_severity_v7_t s) {
    static_cast<std::vector<Delivered>*>(to)->push_back({line, s});
  };
  return session;
}

TEST(ErrorCodeTest, SystemErrorsMapToTheirStatusCodes) {
  const std::pair<int, int> cases[] = {
      {EPERM, STS_EPERM},        {EACCES, STS_EPERM},       {ENOENT, STS_ENOENT},
      {EEXIST, STS_EEXIST},      {ENFILE, STS_EFILESYSTEM}, {EMFILE, STS_EFILESYSTEM},
      {EFBIG, STS_EFILESYSTEM},  {ENOSPC, STS_ENOSPC},      {EDQUOT, STS_ENOSPC},
      {0, STS_ESYS},             {EIO, STS_ESYS}};
  for (const auto& [error, code] : cases) {
    EXPECT_EQ(VADIZUImageError::SysErrorToStsError(error), code) << error;
  }
}

TEST(LogTest, MaskIsMatchedBitByBit) {
  const struct {
    uint32_t mask;
    sts_severity_v7_t severity;
    bool delivered;
  } cases[] = {
      {4, 1, false}, {1, 1, true},  {3, 1, true},  {1, 3, true},
      {2, 3, true},  {3, 3, true},  {4, 3, false}, {4, 4, true},
      {3, 4, false}, {0, 4, false}, {7, 4, true},
  };
  for (const auto& c : cases) {
    std::vector<Delivered> lines;
    const sts_session_def_v7_t session = SessionFor(&lines, c.mask);
    VADIZUImageError::Log(&session, "hello", c.severity);
    ASSERT_EQ(lines.size(), c.delivered ? 1u : 0u)
        << "mask " << c.mask << " severity " << c.severity;
    if (c.delivered) {
      EXPECT_EQ(lines[0].line, "ROZOvareDuzaruv: hello");
      EXPECT_EQ(lines[0].severity, c.severity);
    }
  }
}

// FILE, LINE and the code's name (misspelt when unknown) lead to the throw;
// only a missing file is thrown at severity 1, below a host's error mask.
TEST(LogTest, ExceptionLinesNamePlaceCodeAndSeverity) {
  const struct {
    int code;
    const char* name;
    sts_severity_v7_t severity;
  } cases[] = {{STS_EEXIST, "STS_EEXIST", 4}, {STS_ENOENT, "STS_ENOENT", 1},
               {STS_EINVAL, "STS_EINVAL", 4}, {2060041, "STS_UNKOWN", 4}};
  for (const auto& c : cases) {
    std::vector<Delivered> lines;
    const sts_session_def_v7_t session = SessionFor(&lines, 7);
    const VADIZUImageException e =
        VADIZUImageError::Make(c.code, "../VADIZUImage.cpp", 42);
    VADIZUImageError::Log(&session, "VADIZUImageManager::CreateImage", &e);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line,
              "ROZOvareDuzaruv: Caught exception in "
              "VADIZUImageManager::CreateImage, FILE=../VADIZUImage.cpp, "
              "FUNCTION=, LINE=42, ERROR=" + std::string(c.name));
    EXPECT_EQ(lines[0].severity, c.severity) << c.name;
  }
  std::vector<Delivered> lines;
  const sts_session_def_v7_t session = SessionFor(&lines, 4);
  VADIZUImageError::Log(&session, "VADIZUImage::Close", nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].line, "ROZOvareDuzaruv: Caught exception in VADIZUImage::Close");
}

// A throw out of a noexcept Log would end the process.
TEST(LogTest, NothingReachesAMissingOrFailingHost) {
  sts_session_def_v7_t silent{}, throwing{};
  silent.log_mask = throwing.log_mask = 7;
  throwing.log_callback = [](void*, const char*, sts_severity_v7_t) {
    throw std::runtime_error("host callback failed");
  };
  const VADIZUImageException e{STS_ESYS, "f", "", 1, 4};
  const sts_session_def_v7_t* sessions[] = {&silent, &throwing, nullptr};
  for (const sts_session_def_v7_t* session : sessions) {
    VADIZUImageError::Log(session, "dropped", 4);
    VADIZUImageError::Log(session, "X", &e);
  }
}

}  // namespace
