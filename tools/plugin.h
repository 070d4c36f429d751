// Loads libvadizu the way a backup host does: dlopen the shared object,
// resolve the thirteen vadizu_* entry points with dlsym, and hold one
// vadizu_init for as long as the tool uses it. Nothing here links against
// the library; only the records and constants of vadizu.h are shared.
#ifndef VADIZU_TOOLS_PLUGIN_H_
#define VADIZU_TOOLS_PLUGIN_H_

#include <memory>
#include <string>
#include <utility>

#include "vadizu.h"

namespace vadizu_tool {

// The entry points of one loaded plug-in, named after the exported symbols
// without their prefix.
struct PluginApi {
  decltype(&vadizu_init) init;
  decltype(&vadizu_terminate) terminate;
  decltype(&vadizu_create_image) create_image;
  decltype(&vadizu_open_image) open_image;
  decltype(&vadizu_close_image) close_image;
  decltype(&vadizu_read_image) read_image;
  decltype(&vadizu_write_image) write_image;
  decltype(&vadizu_delete_image) delete_image;
  decltype(&vadizu_get_image_prop) get_image_prop;
  decltype(&vadizu_get_image_prop_byname) get_image_prop_byname;
  decltype(&vadizu_open_image_list) open_image_list;
  decltype(&vadizu_list_image) list_image;
  decltype(&vadizu_close_image_list) close_image_list;
};

// The host interface version this tool speaks to the plug-in.
constexpr uint64_t kHostInterfaceVersion = 10;

// Owns a dlopen handle and, once Start succeeds, one reference taken by
// vadizu_init; the destructor gives that reference back with
// vadizu_terminate before it unloads the library.
class Plugin final {
 public:
  // Loads the library at `path` and resolves every entry point. On failure
  // returns null and describes the problem in *error.
  static std::unique_ptr<Plugin> Load(const std::string& path,
                                      std::string* error);

  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;
  ~Plugin();

  // Calls vadizu_init; returns its status code.
  int Start();

  const PluginApi& api() const { return api_; }
  const std::string& path() const { return path_; }

 private:
  Plugin(void* handle, std::string path)
      : handle_(handle), path_(std::move(path)) {}

  void* handle_;
  std::string path_;
  PluginApi api_{};
  bool started_ = false;
};

// The plug-in the tool loads when --plugin is not given: the library
// installed beside the tool (bin/../lib...) if it is there, else the library
// of the build tree the tool was built in, else the plain file name, left to
// the dynamic loader's own search path.
std::string DefaultPluginPath();

}  // namespace vadizu_tool

#endif  // VADIZU_TOOLS_PLUGIN_H_
