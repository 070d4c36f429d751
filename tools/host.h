// The tool's side of the plug-in boundary: the session record with its log
// callback, the storage server name, the records built from the command
// line, owners for open image and list handles, and the one way failures
// are reported to the user.
#ifndef VADIZU_TOOLS_HOST_H_
#define VADIZU_TOOLS_HOST_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugin.h"
#include "vadizu.h"

namespace vadizu_tool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// The command did its work, but not all of it: a listing with entries the
// plug-in could not read (3, as backup tools use for a partial result).
constexpr int kExitPartial = 3;
// A restore that is not the whole, complete image: fewer bytes than the
// image records, or an image that was never closed complete.
constexpr int kExitIncomplete = 4;

// Severity bits that -v turns on: every line the plug-in sends.
constexpr uint32_t kLogEverything =
    VADIZU_SEVERITY_INFO | VADIZU_SEVERITY_WARNING | VADIZU_SEVERITY_ERROR;

// An image as the user names it on the command line.
struct ImageKey {
  std::string lsu;
  std::string name;
  std::string date;

  // "image 'NAME' dated DATE in LSU" ("image 'NAME' in LSU" without a
  // date), for messages.
  std::string Describe() const;
};

// Owns the loaded, initialised plug-in and the session every call passes.
// The plug-in's log lines go to standard error when their severity shares a
// bit with the log mask. Error lines (severity 4) are always asked for: the
// ones the mask does not print are kept until the next call, so a failure
// can show its cause without -v.
class Host final {
 public:
  // Loads the plug-in and calls vadizu_init. On failure prints why and
  // returns null.
  static std::unique_ptr<Host> Open(const std::string& plugin_path,
                                    uint32_t log_mask);

  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // The entry points. Every use starts a new call: the error lines kept
  // from the one before are dropped.
  const PluginApi& api() const;
  const sts_session_def_v7_t* session() const { return &session_; }
  const char* server() const { return server_; }

  // Error lines the plug-in has sent since the host was opened.
  size_t error_lines() const { return error_lines_; }

  // Prints the error lines of the last call that -v would have shown, then
  // "vadizu: WHAT: STS_NAME (code, hint)" on standard error, and returns
  // kExitFailure. When `lsu` is given, a missing or unreadable LSU
  // directory is named as the reason.
  int Fail(const std::string& what, int status,
           const std::string& lsu = "") const;

  // Calls for the commands that walk an LSU; each returns the plug-in's
  // status code.
  // Every definition the plug-in's listing yields for `flags`, in its order.
  int ListImages(const sts_lsu_name_v7_t& lsu, uint32_t flags,
                 std::vector<sts_image_def_v10_t>* defs) const;
  // The properties of the image `def` names.
  int Properties(const sts_lsu_name_v7_t& lsu, const sts_image_def_v10_t& def,
                 sts_image_info_v10_t* info) const;
  // The properties recorded in the info file STEM.info, whatever image it
  // records: the plug-in is asked for the legacy image STEM, whose info
  // file has that name. STS_EINVAL when no image name leads to STEM.
  int InfoFileProperties(const sts_lsu_name_v7_t& lsu, const std::string& stem,
                         sts_image_info_v10_t* info) const;
  int Remove(const sts_lsu_name_v7_t& lsu,
             const sts_image_def_v10_t& def) const;

 private:
  explicit Host(std::unique_ptr<Plugin> plugin, uint32_t log_mask);
  static void OnLogLine(void* context, const char* message,
                        sts_severity_v7_t severity);

  std::unique_ptr<Plugin> plugin_;
  sts_session_def_v7_t session_{};
  char server_[512] = "localhost";
  uint32_t print_mask_;
  size_t error_lines_ = 0;
  mutable std::vector<std::string> held_errors_;
};

// Records built from user text; a text that does not fit its field is a
// UsageError rather than a silently shortened name. The LSU path is passed
// resolved, so ".", "./" and "dir/.." name the directory they mean.
sts_lsu_name_v7_t MakeLsuName(const std::string& path);
sts_image_def_v10_t MakeDefinition(const ImageKey& key);
void CopyField(char* field, size_t size, const std::string& text,
               const char* what);

// The file name the plug-in gives the files of the image `def`, without a
// suffix: NAME.DATE with the date's spaces as dots, NAME alone for a legacy
// image, and '_' for what a file name cannot hold. The info file adds
// ".info", the data file ".img" (a legacy image's is the stem itself).
std::string ImageFileStem(const sts_image_def_v10_t& def);
std::string DataFileName(const sts_image_def_v10_t& def);

// The text of a fixed-size field, safe even without a terminator.
std::string FieldText(const char* field, size_t size);
#define VADIZU_FIELD(record_field) \
  ::vadizu_tool::FieldText(record_field, sizeof(record_field))

// An open image; closing it is the owner's job. A handle still held when
// the owner goes away is closed incomplete, which never marks an unfinished
// image complete.
class ImageHandle final {
 public:
  ImageHandle(const PluginApi& api, stsp_image_handle_s* handle)
      : api_(api), handle_(handle) {}
  ImageHandle(const ImageHandle&) = delete;
  ImageHandle& operator=(const ImageHandle&) = delete;
  ~ImageHandle();

  stsp_image_handle_s* get() const { return handle_; }
  // Closes with the given VADIZU_CLOSE_* flags; returns the status code.
  int Close(int flags);

 private:
  const PluginApi& api_;
  stsp_image_handle_s* handle_;
};

// An open image list, closed by the destructor.
class ImageListHandle final {
 public:
  ImageListHandle(const PluginApi& api, stsp_image_list_handle_s* handle)
      : api_(api), handle_(handle) {}
  ImageListHandle(const ImageListHandle&) = delete;
  ImageListHandle& operator=(const ImageListHandle&) = delete;
  ~ImageListHandle() { api_.close_image_list(handle_); }

  stsp_image_list_handle_s* get() const { return handle_; }

 private:
  const PluginApi& api_;
  stsp_image_list_handle_s* handle_;
};

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_HOST_H_
