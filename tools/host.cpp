#include "host.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "numbers.h"
#include "status.h"

namespace vadizu_tool {
namespace {

const char* SeverityName(sts_severity_v7_t severity) {
  switch (severity) {
    case VADIZU_SEVERITY_INFO:
      return "info";
    case VADIZU_SEVERITY_WARNING:
      return "warning";
    case VADIZU_SEVERITY_ERROR:
      return "error";
    default:
      return "log";
  }
}

void PrintLogLine(void* /*context*/, const char* message,
                  sts_severity_v7_t severity) {
  std::fprintf(stderr, "vadizu: plug-in %s: %s\n", SeverityName(severity),
               message);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string ImageKey::Describe() const {
  return "image '" + name + "' dated " + date + " in " + lsu;
}

std::unique_ptr<Host> Host::Open(const std::string& plugin_path,
                                 uint32_t log_mask) {
  std::string error;
  std::unique_ptr<Plugin> plugin = Plugin::Load(plugin_path, &error);
  if (plugin == nullptr) {
    std::fprintf(stderr, "vadizu: cannot load the plug-in: %s\n",
                 error.c_str());
    return nullptr;
  }
  int status = plugin->Start();
  if (status != STS_EOK) {
    Fail("vadizu_init of " + plugin->path() + " failed", status);
    return nullptr;
  }
  return std::unique_ptr<Host>(new Host(std::move(plugin), log_mask));
}

Host::Host(std::unique_ptr<Plugin> plugin, uint32_t log_mask)
    : plugin_(std::move(plugin)) {
  session_.log_callback = PrintLogLine;
  session_.log_mask = log_mask;
}

int Host::Fail(const std::string& what, int status, const std::string& lsu) {
  std::string reason = StatusHint(status);
  if (status == STS_EINVAL && !lsu.empty() && !IsDirectory(lsu)) {
    reason = "LSU " + lsu + " does not exist";
  }
  std::fprintf(stderr, "vadizu: %s: %s (%d%s%s)\n", what.c_str(),
               StatusName(status).c_str(), status, reason.empty() ? "" : ", ",
               reason.c_str());
  return kExitFailure;
}

sts_lsu_name_v7_t MakeLsuName(const std::string& path) {
  sts_lsu_name_v7_t lsu{};
  CopyField(lsu.name, sizeof(lsu.name), path, "LSU");
  return lsu;
}

sts_image_def_v10_t MakeDefinition(const ImageKey& key) {
  sts_image_def_v10_t def{};
  def.version = 10;
  def.saveas = VADIZU_SAVEAS_IMAGE;
  CopyField(def.basename, sizeof(def.basename), key.name, "image name");
  CopyField(def.date, sizeof(def.date), key.date, "date");
  CopyField(def.fulldate, sizeof(def.fulldate), key.date, "date");
  return def;
}

void CopyField(char* field, size_t size, const std::string& text,
               const char* what) {
  if (text.size() >= size || text.find('\0') != std::string::npos) {
    throw UsageError(std::string(what) + " longer than " +
                     std::to_string(size - 1) + " characters: " + text);
  }
  std::memcpy(field, text.c_str(), text.size() + 1);
}

std::string FieldText(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

ImageHandle::~ImageHandle() {
  if (handle_ != nullptr) api_.close_image(handle_, VADIZU_CLOSE_INCOMPLETE);
}

int ImageHandle::Close(int flags) {
  stsp_image_handle_s* handle = handle_;
  handle_ = nullptr;
  return api_.close_image(handle, flags);
}

}  // namespace vadizu_tool
