#include "plugin.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace vadizu_tool {
namespace {

// Set by the build: the library's file name with its major version, and
// where it lies relative to the tool once installed and in the build tree.
constexpr const char kPluginFileName[] = VADIZU_TOOL_PLUGIN_FILE_NAME;
constexpr const char kInstalledLibDir[] = VADIZU_TOOL_INSTALLED_LIBDIR;
constexpr const char kBuildLibDir[] = VADIZU_TOOL_BUILD_LIBDIR;

std::string ExecutableDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return ".";
  std::string result(path, static_cast<size_t>(n));
  size_t slash = result.rfind('/');
  return slash == std::string::npos ? "." : result.substr(0, slash);
}

template <typename Function>
bool Resolve(void* handle, const char* name, Function* slot,
             std::string* error) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) {
    *error = std::string("missing entry point ") + name;
    return false;
  }
  *slot = reinterpret_cast<Function>(symbol);
  return true;
}

bool ResolveAll(void* handle, PluginApi* api, std::string* error) {
  return Resolve(handle, "vadizu_init", &api->init, error) &&
         Resolve(handle, "vadizu_terminate", &api->terminate, error) &&
         Resolve(handle, "vadizu_create_image", &api->create_image, error) &&
         Resolve(handle, "vadizu_open_image", &api->open_image, error) &&
         Resolve(handle, "vadizu_close_image", &api->close_image, error) &&
         Resolve(handle, "vadizu_read_image", &api->read_image, error) &&
         Resolve(handle, "vadizu_write_image", &api->write_image, error) &&
         Resolve(handle, "vadizu_delete_image", &api->delete_image, error) &&
         Resolve(handle, "vadizu_get_image_prop", &api->get_image_prop,
                 error) &&
         Resolve(handle, "vadizu_get_image_prop_byname",
                 &api->get_image_prop_byname, error) &&
         Resolve(handle, "vadizu_open_image_list", &api->open_image_list,
                 error) &&
         Resolve(handle, "vadizu_list_image", &api->list_image, error) &&
         Resolve(handle, "vadizu_close_image_list", &api->close_image_list,
                 error);
}

}  // namespace

std::unique_ptr<Plugin> Plugin::Load(const std::string& path,
                                     std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "cannot load " + path;
    return nullptr;
  }
  std::unique_ptr<Plugin> plugin(new Plugin(handle, path));
  if (!ResolveAll(handle, &plugin->api_, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return plugin;
}

Plugin::~Plugin() {
  if (started_) api_.terminate();
  dlclose(handle_);
}

int Plugin::Start() {
  int status = api_.init(kHostInterfaceVersion);
  started_ = status == STS_EOK;
  return status;
}

std::string DefaultPluginPath() {
  const std::string here = ExecutableDirectory();
  for (const char* dir : {kInstalledLibDir, kBuildLibDir}) {
    std::string candidate = here + "/" + dir + "/" + kPluginFileName;
    if (access(candidate.c_str(), F_OK) == 0) return candidate;
  }
  return kPluginFileName;
}

}  // namespace vadizu_tool
