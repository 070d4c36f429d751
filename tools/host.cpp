#include "host.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

void PrintLogLine(const char* message, sts_severity_v7_t severity) {
  std::fprintf(stderr, "vadizu: plug-in %s: %s\n", SeverityName(severity),
               message);
}

// Why the LSU directory cannot serve a call, or "" when it looks usable.
std::string LsuProblem(const std::string& lsu) {
  struct stat st;
  if (stat(lsu.c_str(), &st) != 0) {
    return errno == ENOENT ? "LSU " + lsu + " does not exist"
                           : "LSU " + lsu + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return "LSU " + lsu + " is not a directory";
  DIR* dir = opendir(lsu.c_str());
  if (dir == nullptr) {
    return "LSU " + lsu + " cannot be read: " + std::strerror(errno);
  }
  closedir(dir);
  return "";
}

int PrintFailure(const std::string& what, int status,
                 const std::string& reason) {
  std::fprintf(stderr, "vadizu: %s: %s (%d%s%s)\n", what.c_str(),
               StatusName(status).c_str(), status, reason.empty() ? "" : ", ",
               reason.c_str());
  return kExitFailure;
}

}  // namespace

std::string ImageKey::Describe() const {
  return "image '" + name + "'" + (date.empty() ? "" : " dated " + date) +
         " in " + lsu;
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
    PrintFailure("vadizu_init of " + plugin->path() + " failed", status,
                 StatusHint(status));
    return nullptr;
  }
  return std::unique_ptr<Host>(new Host(std::move(plugin), log_mask));
}

Host::Host(std::unique_ptr<Plugin> plugin, uint32_t log_mask)
    : plugin_(std::move(plugin)), print_mask_(log_mask) {
  session_.log_callback = OnLogLine;
  session_.log_context = this;
  session_.log_mask = log_mask | VADIZU_SEVERITY_ERROR;
}

void Host::OnLogLine(void* context, const char* message,
                     sts_severity_v7_t severity) {
  Host* host = static_cast<Host*>(context);
  if (severity == VADIZU_SEVERITY_ERROR) ++host->error_lines_;
  if ((severity & host->print_mask_) != 0) {
    PrintLogLine(message, severity);
  } else if (severity == VADIZU_SEVERITY_ERROR) {
    host->held_errors_.push_back(message);
  }
}

const PluginApi& Host::api() const {
  held_errors_.clear();
  return plugin_->api();
}

int Host::Fail(const std::string& what, int status,
               const std::string& lsu) const {
  for (const std::string& line : held_errors_) {
    PrintLogLine(line.c_str(), VADIZU_SEVERITY_ERROR);
  }
  held_errors_.clear();
  const std::string problem = lsu.empty() ? "" : LsuProblem(lsu);
  return PrintFailure(what, status,
                      (status == STS_EINVAL || status == STS_ENOENT) &&
                              !problem.empty()
                          ? problem
                          : StatusHint(status));
}

int Host::ListImages(const sts_lsu_name_v7_t& lsu, uint32_t flags,
                     std::vector<sts_image_def_v10_t>* defs) const {
  stsp_image_list_handle_s* handle = nullptr;
  int status = api().open_image_list(&lsu, session(), server(),
                                     static_cast<int>(flags), &handle);
  if (status != STS_EOK) return status;
  ImageListHandle list(api(), handle);
  for (;;) {
    sts_image_def_v10_t def{};
    status = api().list_image(list.get(), &def);
    if (status == STS_ENOENT) return STS_EOK;
    if (status != STS_EOK) return status;
    defs->push_back(def);
  }
}

int Host::Properties(const sts_lsu_name_v7_t& lsu,
                     const sts_image_def_v10_t& def,
                     sts_image_info_v10_t* info) const {
  return api().get_image_prop_byname(&lsu, session(), server(), &def, info);
}

int Host::InfoFileProperties(const sts_lsu_name_v7_t& lsu,
                             const std::string& stem,
                             sts_image_info_v10_t* info) const {
  sts_image_def_v10_t def{};
  if (stem.size() >= sizeof(def.basename)) return STS_EINVAL;
  def.version = 10;
  def.flags = VADIZU_IMAGE_LEGACY;
  std::memcpy(def.basename, stem.c_str(), stem.size() + 1);
  if (ImageFileStem(def) != stem) return STS_EINVAL;
  return Properties(lsu, def, info);
}

int Host::Remove(const sts_lsu_name_v7_t& lsu,
                 const sts_image_def_v10_t& def) const {
  return api().delete_image(&lsu, session(), server(), &def, 0);
}

sts_lsu_name_v7_t MakeLsuName(const std::string& path) {
  sts_lsu_name_v7_t lsu{};
  char* resolved = realpath(path.c_str(), nullptr);
  CopyField(lsu.name, sizeof(lsu.name), resolved != nullptr ? resolved : path,
            "LSU");
  std::free(resolved);
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

std::string ImageFileStem(const sts_image_def_v10_t& def) {
  std::string name = VADIZU_FIELD(def.basename);
  if (name == "." || name == "..") return std::string(name.size(), '_');
  for (char& c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || u < 0x20 || u == 0x7f) c = '_';
  }
  if (def.flags == VADIZU_IMAGE_LEGACY) return name;
  std::string date = VADIZU_FIELD(def.date);
  for (char& c : date) {
    if (c == ' ') c = '.';
  }
  return name + "." + date;
}

std::string DataFileName(const sts_image_def_v10_t& def) {
  const std::string stem = ImageFileStem(def);
  return def.flags == VADIZU_IMAGE_LEGACY ? stem : stem + ".img";
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
