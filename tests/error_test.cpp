// Status code names, the system error mapping and the log line rules.
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

TEST(ErrorCodeTest, NamesKnownCodesAndMisspellsTheRest) {
  const std::pair<int, const char*> cases[] = {
      {0, "STS_EOK"},          {2060001, "STS_EINVAL"},
      {2060013, "STS_ENOENT"}, {2060031, "STS_ENOSPC"},
      {2060037, "STS_EPERM"},  {2060063, "STS_EFILESYSTEM"},
      {2060041, "STS_UNKOWN"}, {2060000, "STS_UNKOWN"},
      {2060032, "STS_UNKOWN"}, {-1, "STS_UNKOWN"},
  };
  for (const auto& [code, name] : cases) {
    EXPECT_EQ(VADIZUImageError::ErrorCode(code), name) << code;
  }
}

TEST(ErrorCodeTest, MapsSystemErrors) {
  const std::pair<int, int> cases[] = {
      {EPERM, STS_EPERM},        {EACCES, STS_EPERM},
      {ENOENT, STS_ENOENT},      {EEXIST, STS_EEXIST},
      {ENFILE, STS_EFILESYSTEM}, {EMFILE, STS_EFILESYSTEM},
      {EFBIG, STS_EFILESYSTEM},  {ENOSPC, STS_ENOSPC},
      {EDQUOT, STS_ENOSPC},      {0, STS_ESYS},
      {EISDIR, STS_ESYS},        {EIO, STS_ESYS},
  };
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

TEST(LogTest, OnlyMissingFilesAreThrownAtSeverityOneAndHiddenFromErrors) {
  for (int code : {STS_ENOENT, STS_EEXIST, STS_EINVAL}) {
    std::vector<Delivered> lines;
    const sts_session_def_v7_t session = SessionFor(&lines, 4);
    const VADIZUImageException e = VADIZUImageError::Make(code, "f", 7);
    EXPECT_EQ(e.severity, code == STS_ENOENT ? 1u : 4u) << code;
    VADIZUImageError::Log(&session, "X", &e);
    EXPECT_EQ(lines.size(), code == STS_ENOENT ? 0u : 1u) << code;
  }
}

TEST(LogTest, ExceptionLineNamesPlaceFileLineAndCode) {
  std::vector<Delivered> lines;
  const sts_session_def_v7_t session = SessionFor(&lines, 7);
  const VADIZUImageException e{STS_EEXIST, "../VADIZUImage.cpp", "", 42, 4};
  VADIZUImageError::Log(&session, "VADIZUImageManager::CreateImage", &e);
  VADIZUImageError::Log(&session, "VADIZUImage::Close", nullptr);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].line,
            "ROZOvareDuzaruv: Caught exception in "
            "VADIZUImageManager::CreateImage, FILE=../VADIZUImage.cpp, "
            "FUNCTION=, LINE=42, ERROR=STS_EEXIST");
  EXPECT_EQ(lines[1].line,
            "ROZOvareDuzaruv: Caught exception in VADIZUImage::Close");
  for (const Delivered& d : lines) EXPECT_EQ(d.severity, 4u);
}

TEST(LogTest, NothingReachesAMissingOrFailingHost) {
  sts_session_def_v7_t silent{}, throwing{};
  silent.log_mask = throwing.log_mask = 7;
  throwing.log_callback = [](void*, const char*, sts_severity_v7_t) {
    throw std::runtime_error("host callback failed");
  };
  const VADIZUImageException e{STS_ESYS, "f", "", 1, 4};
  const sts_session_def_v7_t* sessions[] = {&silent, &throwing, nullptr};
  for (const sts_session_def_v7_t* session : sessions) {
    EXPECT_NO_THROW(VADIZUImageError::Log(session, "dropped", 4));
    EXPECT_NO_THROW(VADIZUImageError::Log(session, "X", &e));
    EXPECT_NO_THROW(VADIZUImageError::Log(session, "X", nullptr));
  }
}

}  // namespace
