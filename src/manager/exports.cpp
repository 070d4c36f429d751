// The thirteen entry points. Each fetches the manager and forwards to one
// of its operations; without a manager the answer is STS_EINIT.
#include "manager/VADIZUImageManager.h"
#include "vadizu.h"

namespace {

// The operations turn every failure into a code themselves; the catch is
// the last guard that keeps any exception from reaching a C host.
template <typename Call>
int WithManager(Call&& call) {
  try {
    VADIZUImageManager* manager = VADIZUImageManager::GetInstance();
    return manager == nullptr ? STS_EINIT : call(*manager);
  } catch (...) {
    return STS_EINTERNAL;
  }
}

}  // namespace

extern "C" {

int vadizu_init(uint64_t version) {
  if (version < VADIZU_MIN_INTERFACE_VERSION) return STS_EPLUGINVERSION;
  return VADIZUImageManager::Init();
}

int vadizu_terminate(void) { return VADIZUImageManager::Terminate(); }

int vadizu_create_image(const sts_lsu_name_v7_t* lsu,
                        const sts_session_def_v7_t* session,
                        const char* server, const sts_image_def_v10_t* def,
                        int flags, stsp_image_handle_s** out) {
  return WithManager([&](VADIZUImageManager& m) {
    return m.CreateImage(lsu, session, server, def, flags, out);
  });
}

int vadizu_open_image(const sts_lsu_name_v7_t* lsu,
                      const sts_session_def_v7_t* session, const char* server,
                      const sts_image_def_v10_t* def, int mode,
                      stsp_image_handle_s** out) {
  return WithManager([&](VADIZUImageManager& m) {
    return m.OpenImage(lsu, session, server, def, mode, out);
  });
}

int vadizu_close_image(stsp_image_handle_s* image, int flags) {
  return WithManager(
      [&](VADIZUImageManager& m) { return m.CloseImage(image, flags, 0); });
}

int vadizu_read_image(stsp_image_handle_s* image, void* buf, uint64_t length,
                      uint64_t offset, uint64_t* bytes_read) {
  return WithManager([&](VADIZUImageManager& m) {
    return m.ReadImage(image, buf, length, offset, bytes_read);
  });
}

int vadizu_write_image(stsp_image_handle_s* image, const sts_stat_v7_t* stat,
                       const void* buf, uint64_t length, uint64_t offset,
                       uint64_t* bytes_written) {
  return WithManager([&](VADIZUImageManager& m) {
    return m.WriteImage(image, stat, buf, length, offset, bytes_written);
  });
}

int vadizu_delete_image(const sts_lsu_name_v7_t* lsu,
                        const sts_session_def_v7_t* session,
                        const char* server, const sts_image_def_v10_t* def,
                        int flags) {
  return WithManager([&](VADIZUImageManager& m) {
    return m.DeleteImage(lsu, session, server, def, 0, flags);
  });
}

int vadizu_get_image_prop(stsp_image_handle_s* image,
                          sts_image_info_v10_t* info) {
  return WithManager(
      [&](VADIZUImageManager& m) { return m.GetImageProperties(image, info); });
}

int vadizu_get_image_prop_byname(const sts_lsu_name_v7_t* lsu,
                                 const sts_session_def_v7_t* session,
                                 const char* server,
                                 const sts_image_def_v10_t* def,
                                 sts_image_info_v10_t* info) {
  return WithManager([&](VADIZUImageManager& m) {
    return m.GetImageProperties(lsu, session, server, def, info);
  });
}

int vadizu_open_image_list(const sts_lsu_name_v7_t* lsu,
                           const sts_session_def_v7_t* session,
                           const char* server, int flags,
                           stsp_image_list_handle_s** out) {
  return WithManager([&](VADIZUImageManager& m) {
    return m.OpenImageList(lsu, session, server, flags, out);
  });
}

int vadizu_list_image(stsp_image_list_handle_s* list,
                      sts_image_def_v10_t* def) {
  return WithManager(
      [&](VADIZUImageManager& m) { return m.ListImage(list, def); });
}

int vadizu_close_image_list(stsp_image_list_handle_s* list) {
  return WithManager(
      [&](VADIZUImageManager& m) { return m.CloseImageList(list); });
}

}  // extern "C"
