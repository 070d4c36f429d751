// Status code names, the system error mapping and the log line rules.
#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "error/VADIZUImageError.h"

namespace {

struct Delivered {
  std::string line;
  sts_severity_v7_t severity;
};

void Record(void* context, const char* message, sts_severity_v7_t severity) {
  static_cast<std::vector<Delivered>*>(context)->push_back({message, severity});
}

void Throwing(void*, const char*, sts_severity_v7_t) {
  throw std::runtime_error("host callback failed");
}

sts_session_def_v7_t SessionFor(std::vector<Delivered>* lines, uint32_t mask) {
  sts_session_def_v7_t session{};
  session.log_context = lines;
  session.log_callback = Record;
  session.log_mask = mask;
  return session;
}

TEST(ErrorCodeTest, NamesKnownCodesAndMisspellsTheRest) {
  const struct {
    int code;
    const char* name;
  } cases[] = {
      {0, "STS_EOK"},           {2060001, "STS_EINVAL"},
      {2060013, "STS_ENOENT"},  {2060031, "STS_ENOSPC"},
      {2060037, "STS_EPERM"},   {2060063, "STS_EFILESYSTEM"},
      {2060041, "STS_UNKOWN"},  {2060000, "STS_UNKOWN"},
      {2060032, "STS_UNKOWN"},  {-1, "STS_UNKOWN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VADIZUImageError::ErrorCode(c.code), c.name) << c.code;
  }
}

TEST(ErrorCodeTest, MapsSystemErrors) {
  const struct {
    int error;
    int code;
  } cases[] = {
      {EPERM, STS_EPERM},        {EACCES, STS_EPERM},
      {ENOENT, STS_ENOENT},      {EEXIST, STS_EEXIST},
      {ENFILE, STS_EFILESYSTEM}, {EMFILE, STS_EFILESYSTEM},
      {EFBIG, STS_EFILESYSTEM},  {ENOSPC, STS_ENOSPC},
      {EDQUOT, STS_ENOSPC},      {0, STS_ESYS},
      {EISDIR, STS_ESYS},        {EIO, STS_ESYS},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VADIZUImageError::SysErrorToStsError(c.error), c.code) << c.error;
  }
}

TEST(ErrorCodeTest, SeverityIsOneOnlyForMissingFiles) {
  EXPECT_EQ(VADIZUImageError::Make(STS_ENOENT, "f", 1).severity, 1u);
  EXPECT_EQ(VADIZUImageError::Make(STS_EEXIST, "f", 1).severity, 4u);
  EXPECT_EQ(VADIZUImageError::Make(STS_EINVAL, "f", 1).severity, 4u);
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
  EXPECT_EQ(lines[0].severity, 4u);
  EXPECT_EQ(lines[1].line,
            "ROZOvareDuzaruv: Caught exception in VADIZUImage::Close");
  EXPECT_EQ(lines[1].severity, 4u);
}

TEST(LogTest, ExceptionSeverityDecidesDelivery) {
  std::vector<Delivered> lines;
  const sts_session_def_v7_t session = SessionFor(&lines, 4);
  const VADIZUImageException missing =
      VADIZUImageError::Make(STS_ENOENT, "../VADIZUImage.cpp", 7);
  VADIZUImageError::Log(&session, "X", &missing);
  EXPECT_TRUE(lines.empty());
}

TEST(LogTest, NothingReachesAMissingOrFailingHost) {
  sts_session_def_v7_t noCallback{};
  noCallback.log_mask = 7;
  VADIZUImageError::Log(&noCallback, "dropped", 4);
  VADIZUImageError::Log(nullptr, "dropped", 4);
  VADIZUImageError::Log(nullptr, "X", nullptr);

  sts_session_def_v7_t throwing{};
  throwing.log_callback = Throwing;
  throwing.log_mask = 7;
  EXPECT_NO_THROW(VADIZUImageError::Log(&throwing, "boom", 4));
  const VADIZUImageException e{STS_ESYS, "f", "", 1, 4};
  EXPECT_NO_THROW(VADIZUImageError::Log(&throwing, "X", &e));
}

}  // namespace
