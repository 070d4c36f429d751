// The one manager behind the exported functions. It owns every image and
// image list the host holds open, keyed by the handle the host received,
// and runs every operation in a frame that turns failures into status codes
// and log lines: no exception ever leaves the library. The manager has no
// lock; the host must not register or remove handles concurrently with any
// other call.
#ifndef VADIZU_MANAGER_VADIZUIMAGEMANAGER_H_
#define VADIZU_MANAGER_VADIZUIMAGEMANAGER_H_

#include <cstdint>
#include <map>

#include "image/VADIZUImage.h"
#include "image/VADIZUImageList.h"
#include "manager/CountedPtr.h"
#include "vadizu.h"

class VADIZUImageManager final {
 public:
  enum InstanceOp { kLookUp = 0, kAcquire = 1, kRelease = 2 };

  static VADIZUImageManager* ManageInstance(int op, int& code);
  static int Init();
  static int Terminate();
  static VADIZUImageManager* GetInstance();

  int CreateImage(const sts_lsu_name_v7_t* lsu,
                  const sts_session_def_v7_t* session, const char* server,
                  const sts_image_def_v10_t* def, int flags,
                  stsp_image_handle_s** out);
  int OpenImage(const sts_lsu_name_v7_t* lsu,
                const sts_session_def_v7_t* session, const char* server,
                const sts_image_def_v10_t* def, int mode,
                stsp_image_handle_s** out);
  int CloseImage(stsp_image_handle_s* handle, int flags, int reserved);
  int ReadImage(stsp_image_handle_s* handle, void* buffer, uint64_t length,
                uint64_t offset, uint64_t* bytesRead);
  int WriteImage(stsp_image_handle_s* handle, const sts_stat_v7_t* stat,
                 const void* buffer, uint64_t length, uint64_t offset,
                 uint64_t* bytesWritten);
  int DeleteImage(const sts_lsu_name_v7_t* lsu,
                  const sts_session_def_v7_t* session, const char* server,
                  const sts_image_def_v10_t* def, int reserved, int flags);
  int GetImageProperties(stsp_image_handle_s* handle,
                         sts_image_info_v10_t* info);
  int GetImageProperties(const sts_lsu_name_v7_t* lsu,
                         const sts_session_def_v7_t* session,
                         const char* server, const sts_image_def_v10_t* def,
                         sts_image_info_v10_t* info);
  int OpenImageList(const sts_lsu_name_v7_t* lsu,
                    const sts_session_def_v7_t* session, const char* server,
                    int flags, stsp_image_list_handle_s** out);
  int ListImage(stsp_image_list_handle_s* list, sts_image_def_v10_t* def);
  int CloseImageList(stsp_image_list_handle_s* list);

  // Checks that the LSU directory exists; throws STS_EINVAL when it does
  // not, after logging that it is missing.
  void ValidateLsu(const sts_session_def_v7_t* session,
                   const sts_lsu_name_v7_t* lsu);

  // The object a handle names. Does not consult the maps.
  template <typename Object, typename Handle>
  Object* GetObjectFromHandle(Handle handle);

 private:
  VADIZUImageManager() = default;
  ~VADIZUImageManager();
  VADIZUImageManager(const VADIZUImageManager&) = delete;
  VADIZUImageManager& operator=(const VADIZUImageManager&) = delete;

  std::map<stsp_image_list_handle_s*, CountedPtr<VADIZUImageList>>
      m_ImageListMap;
  std::map<stsp_image_handle_s*, CountedPtr<VADIZUImage>> m_ImageMap;
  int32_t m_RefCount = 0;
};

#endif  // VADIZU_MANAGER_VADIZUIMAGEMANAGER_H_
