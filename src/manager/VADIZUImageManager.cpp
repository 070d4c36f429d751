#include "manager/VADIZUImageManager.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "error/VADIZUImageError.h"
#include "info/VADIZUImageInfo.h"

namespace {

constexpr char kSourceFile[] = "../VADIZUImageManager.cpp";

using Mode = VADIZUImageInfo::BDImageMode;

// Whether the frame logs STS_ENOENT: the queries and delete return it
// silently, since "no such image" is an answer there, not a failure.
enum class NoEntry { kLogged, kSilent };

// Runs one operation body. Every library exception becomes its code and a
// log line through `session`; anything else becomes STS_EINTERNAL.
// The handlers allocate nothing and log through functions that never
// throw, so not even a failure for want of memory leaves the frame.
template <typename Body>
int RunFrame(const sts_session_def_v7_t* session, const char* where,
             NoEntry noEntry, Body&& body) {
  try {
    return body();
  } catch (const VADIZUImageException& e) {
    if (noEntry == NoEntry::kLogged || e.code != STS_ENOENT) {
      VADIZUImageError::Log(session, where, &e);
    }
    return e.code;
  } catch (...) {
    VADIZUImageError::Log(session, where, nullptr);
    return STS_EINTERNAL;
  }
}

stsp_image_handle_s* HandleOf(VADIZUImage* image) {
  return image->GetImageHandle();
}
stsp_image_list_handle_s* HandleOf(VADIZUImageList* list) {
  return list->GetImageListHandle();
}

// What an object that never reaches the host leaves undone on disk.
void Discard(VADIZUImage* image) { image->Discard(); }
void Discard(VADIZUImageList*) {}  // a list changes no file

// Hands a freshly built object to the map. The handle reaches the host just
// before the map takes its reference. The entry and its counted pointer are
// made in one step, so if either allocation fails the object is still ours
// alone: its work on disk is undone, it is freed on the way out, and
// nothing stays registered.
template <typename Object, typename Handle>
void Register(std::map<Handle*, CountedPtr<Object>>& map,
              std::unique_ptr<Object> object, Handle** out) {
  Handle* handle = HandleOf(object.get());
  *out = handle;
  try {
    map.try_emplace(handle, object.get());
  } catch (...) {
    Discard(object.get());
    throw;
  }
  object.release();  // the map's counted pointer owns it now
}

// The session to log a failed close with: the one held in the record of a
// live object of the other kind (a list handle given to the image close, or
// the reverse), otherwise none. A handle not in either map is never read.
template <typename Map>
sts_session_def_v7_t SessionOfLiveHandle(const Map& map, void* handle) {
  sts_session_def_v7_t session{};
  auto it = map.find(static_cast<typename Map::key_type>(handle));
  if (it != map.end()) session = it->first->session;
  return session;
}

bool ClosesComplete(int flags) {
  return flags != 0 && (flags & VADIZU_CLOSE_ABORT) == 0;
}

}  // namespace

// ------------------------------------------------------------- instance

VADIZUImageManager* VADIZUImageManager::ManageInstance(int op, int& code) {
  static VADIZUImageManager* instance = nullptr;
  code = STS_EOK;
  switch (op) {
    case kLookUp:
      break;
    case kAcquire:
      if (instance == nullptr) instance = new VADIZUImageManager();
      ++instance->m_RefCount;
      break;
    case kRelease:
      if (instance == nullptr) {
        code = STS_EINIT;
      } else if (--instance->m_RefCount < 1) {
        VADIZUImageManager* last = instance;
        instance = nullptr;
        delete last;
      }
      break;
    default:
      code = STS_EINVAL;
  }
  return instance;
}

// Acquire and release report allocation failures as STS_EINIT.
static int ChangeInstance(int op) {
  try {
    int code;
    VADIZUImageManager::ManageInstance(op, code);
    return code;
  } catch (...) {
    return STS_EINIT;
  }
}

int VADIZUImageManager::Init() { return ChangeInstance(kAcquire); }

int VADIZUImageManager::Terminate() { return ChangeInstance(kRelease); }

VADIZUImageManager* VADIZUImageManager::GetInstance() {
  try {
    int code;
    return ManageInstance(kLookUp, code);
  } catch (...) {
    return nullptr;
  }
}

VADIZUImageManager::~VADIZUImageManager() {
  // Images go before lists; each release destroys its object.
  m_ImageMap.clear();
  m_ImageListMap.clear();
}

template <typename Object, typename Handle>
Object* VADIZUImageManager::GetObjectFromHandle(Handle handle) {
  if (handle == nullptr || handle->object == nullptr) VADIZU_THROW(STS_EINVAL);
  return handle->object;
}

void VADIZUImageManager::ValidateLsu(const sts_session_def_v7_t* session,
                                     const sts_lsu_name_v7_t* lsu) {
  if (lsu == nullptr) VADIZU_THROW(STS_EINVAL);
  const std::string name(lsu->name, strnlen(lsu->name, sizeof(lsu->name)));
  std::string path = VADIZUImageInfo::GetBasePathName(name);
  // "/a/b/" is tested as "/a/b"; a path whose only slash is the added one
  // ("lsu/", "/") is tested as it stands.
  if (path.find('/') != path.rfind('/')) path.pop_back();
  if (access(path.c_str(), F_OK) == 0) return;
  char message[sizeof(lsu->name) + 32];
  snprintf(message, sizeof(message), "LSU %s does not exist.", name.c_str());
  VADIZUImageError::Log(session, message, VADIZU_SEVERITY_INFO);
  VADIZU_THROW(STS_EINVAL);
}

// ------------------------------------------------------ image operations

int VADIZUImageManager::CreateImage(const sts_lsu_name_v7_t* lsu,
                                    const sts_session_def_v7_t* session,
                                    const char* server,
                                    const sts_image_def_v10_t* def, int,
                                    stsp_image_handle_s** out) {
  if (lsu == nullptr || server == nullptr) return STS_EINVAL;
  return RunFrame(session, "VADIZUImageManager::CreateImage", NoEntry::kLogged,
                  [&] {
    if (out == nullptr || def == nullptr) VADIZU_THROW(STS_EINVAL);
    // The host's record is never changed; the image records the copy.
    sts_image_def_v10_t copy = *def;
    if (copy.version == 0) copy.version = 10;
    Mode mode = VADIZUImageInfo::BDImageModeCreate;
    if ((copy.flags & VADIZU_IMAGE_CREATE_FLAGGED) != 0) {
      copy.flags &= ~VADIZU_IMAGE_CREATE_FLAGGED;
      mode = VADIZUImageInfo::BDImageModeCreateFlagged;
    }
    ValidateLsu(session, lsu);
    Register(m_ImageMap,
             std::make_unique<VADIZUImage>(server, session, lsu, &copy, mode),
             out);
    return STS_EOK;
  });
}

int VADIZUImageManager::OpenImage(const sts_lsu_name_v7_t* lsu,
                                  const sts_session_def_v7_t* session,
                                  const char* server,
                                  const sts_image_def_v10_t* def, int mode,
                                  stsp_image_handle_s** out) {
  if (lsu == nullptr || server == nullptr) return STS_EINVAL;
  return RunFrame(session, "VADIZUImageManager::OpenImage", NoEntry::kLogged,
                  [&] {
    if (out == nullptr) VADIZU_THROW(STS_EINVAL);
    ValidateLsu(session, lsu);
    Mode imageMode;
    if (mode == VADIZU_OPEN_READ) {
      imageMode = VADIZUImageInfo::BDImageModeRead;
    } else if (mode == VADIZU_OPEN_WRITE) {
      imageMode = VADIZUImageInfo::BDImageModeWrite;
    } else {
      VADIZU_THROW(STS_EINVAL);
    }
    Register(m_ImageMap,
             std::make_unique<VADIZUImage>(server, session, lsu, def, imageMode),
             out);
    return STS_EOK;
  });
}

int VADIZUImageManager::CloseImage(stsp_image_handle_s* handle, int flags,
                                   int) {
  if (handle == nullptr) return STS_EINVAL;
  auto it = m_ImageMap.find(handle);
  // The record dies with the object, so failures log through a copy.
  const sts_session_def_v7_t session =
      it != m_ImageMap.end() ? handle->session
                             : SessionOfLiveHandle(m_ImageListMap, handle);
  return RunFrame(&session, "VADIZUImageManager::CloseImage", NoEntry::kLogged,
                  [&] {
    if (it == m_ImageMap.end()) VADIZU_THROW(STS_EINVAL);
    // The counted copy keeps the image alive past its entry, and destroys
    // it on the way out whether the close succeeds or throws.
    CountedPtr<VADIZUImage> image(it->second);
    m_ImageMap.erase(it);
    image->CloseImage(ClosesComplete(flags));
    return STS_EOK;
  });
}

int VADIZUImageManager::ReadImage(stsp_image_handle_s* handle, void* buffer,
                                  uint64_t length, uint64_t offset,
                                  uint64_t* bytesRead) {
  // A handle that is not registered is refused without reading it.
  if (handle == nullptr || m_ImageMap.count(handle) == 0) return STS_EINVAL;
  return RunFrame(&handle->session, "VADIZUImageManager::ReadImage",
                  NoEntry::kLogged, [&] {
    if (bytesRead == nullptr) VADIZU_THROW(STS_EINVAL);
    VADIZUImage* image = GetObjectFromHandle<VADIZUImage>(handle);
    *bytesRead = static_cast<uint64_t>(image->ReadImage(buffer, length, offset));
    return STS_EOK;
  });
}

int VADIZUImageManager::WriteImage(stsp_image_handle_s* handle,
                                   const sts_stat_v7_t* stat,
                                   const void* buffer, uint64_t length,
                                   uint64_t offset, uint64_t* bytesWritten) {
  if (handle == nullptr || m_ImageMap.count(handle) == 0) return STS_EINVAL;
  return RunFrame(&handle->session, "VADIZUImageManager::WriteImage",
                  NoEntry::kLogged, [&] {
    if (bytesWritten == nullptr) VADIZU_THROW(STS_EINVAL);
    VADIZUImage* image = GetObjectFromHandle<VADIZUImage>(handle);
    const uint64_t written =
        static_cast<uint64_t>(image->WriteImage(stat, buffer, length, offset));
    *bytesWritten = written;
    if (written < length) VADIZU_THROW(STS_ENOSPC);
    return STS_EOK;
  });
}

int VADIZUImageManager::DeleteImage(const sts_lsu_name_v7_t* lsu,
                                    const sts_session_def_v7_t* session,
                                    const char* server,
                                    const sts_image_def_v10_t* def,
                                    int reserved, int) {
  if (lsu == nullptr || server == nullptr) return STS_EINVAL;
  return RunFrame(session, "VADIZUImageManager::DeleteImage", NoEntry::kSilent,
                  [&] {
    ValidateLsu(session, lsu);
    if (reserved != 0) VADIZU_THROW(STS_EINVAL);
    VADIZUImage image(server, session, lsu, def,
                      VADIZUImageInfo::BDImageModeNone);
    return image.DeleteImage();  // a returned status is never logged
  });
}

int VADIZUImageManager::GetImageProperties(stsp_image_handle_s* handle,
                                           sts_image_info_v10_t* info) {
  if (handle == nullptr || m_ImageMap.count(handle) == 0) return STS_EINVAL;
  return RunFrame(&handle->session, "VADIZUImageManager::GetImageProperties",
                  NoEntry::kSilent, [&] {
    if (info == nullptr) VADIZU_THROW(STS_EINVAL);
    *info = GetObjectFromHandle<VADIZUImage>(handle)->GetImageProperties();
    return STS_EOK;
  });
}

int VADIZUImageManager::GetImageProperties(const sts_lsu_name_v7_t* lsu,
                                           const sts_session_def_v7_t* session,
                                           const char* server,
                                           const sts_image_def_v10_t* def,
                                           sts_image_info_v10_t* info) {
  if (lsu == nullptr || server == nullptr) return STS_EINVAL;
  return RunFrame(session, "VADIZUImageManager::GetImageProperties",
                  NoEntry::kSilent, [&] {
    if (info == nullptr) VADIZU_THROW(STS_EINVAL);
    ValidateLsu(session, lsu);
    VADIZUImage image(server, session, lsu, def,
                      VADIZUImageInfo::BDImageModeNone);
    *info = image.GetImageProperties();
    return STS_EOK;
  });
}

// ------------------------------------------------------- list operations

int VADIZUImageManager::OpenImageList(const sts_lsu_name_v7_t* lsu,
                                      const sts_session_def_v7_t* session,
                                      const char* server, int flags,
                                      stsp_image_list_handle_s** out) {
  if (lsu == nullptr || server == nullptr) return STS_EINVAL;
  return RunFrame(session, "VADIZUImageManager::OpenImageList",
                  NoEntry::kLogged, [&] {
    if (out == nullptr) VADIZU_THROW(STS_EINVAL);
    ValidateLsu(session, lsu);
    Register(m_ImageListMap,
             std::make_unique<VADIZUImageList>(session, server, lsu, flags), out);
    return STS_EOK;
  });
}

int VADIZUImageManager::ListImage(stsp_image_list_handle_s* list,
                                  sts_image_def_v10_t* def) {
  if (list == nullptr || m_ImageListMap.count(list) == 0) return STS_EINVAL;
  return RunFrame(&list->session, "VADIZUImageManager::ListImage",
                  NoEntry::kSilent, [&] {
    if (def == nullptr) VADIZU_THROW(STS_EINVAL);
    *def = GetObjectFromHandle<VADIZUImageList>(list)->ListImage();
    return STS_EOK;
  });
}

int VADIZUImageManager::CloseImageList(stsp_image_list_handle_s* list) {
  if (list == nullptr) return STS_EINVAL;
  auto it = m_ImageListMap.find(list);
  const sts_session_def_v7_t session =
      it != m_ImageListMap.end() ? list->session
                                 : SessionOfLiveHandle(m_ImageMap, list);
  return RunFrame(&session, "VADIZUImageManager::CloseImageList",
                  NoEntry::kLogged, [&] {
    if (it == m_ImageListMap.end()) VADIZU_THROW(STS_EINVAL);
    m_ImageListMap.erase(it);  // destroys the list
    return STS_EOK;
  });
}
