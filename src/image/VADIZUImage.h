// One image as the host holds it between create/open and close, or briefly
// for a delete or a properties query by name. Owns the image's info object
// and the descriptors of its data and metadata files; construction creates
// or opens the files, CloseImage syncs and closes them and settles the info
// file's status. Data moves straight between the host's buffers and the
// data file.
#ifndef VADIZU_IMAGE_VADIZUIMAGE_H_
#define VADIZU_IMAGE_VADIZUIMAGE_H_

#include <cstdint>
#include <string>

#include "image/handles.h"
#include "info/VADIZUImageInfo.h"
#include "vadizu.h"

class VADIZUImage final {
 public:
  VADIZUImage(const char* serverName, const sts_session_def_v7_t* session,
              const sts_lsu_name_v7_t* lsu, const sts_image_def_v10_t* def,
              VADIZUImageInfo::BDImageMode mode);
  ~VADIZUImage();

  VADIZUImage(const VADIZUImage&) = delete;
  VADIZUImage& operator=(const VADIZUImage&) = delete;

  stsp_image_handle_s* GetImageHandle() { return &m_ImageHandle; }

  // Closes the files of an image the host never receives; a create also
  // takes back every file it made. Construction calls it when it fails, the
  // manager when the handle cannot be registered. An open for writing keeps
  // its writer mark, as a writer that ended without closing does: by the
  // time it could be cleared, a delete and a new create may have put another
  // writer's mark in its place. Never throws.
  void Discard() noexcept;

  // Syncs and closes the files, records the size, and clears the writer
  // mark (marking the image complete when asked). The info file is settled
  // even when closing the data files fails.
  void CloseImage(bool complete);
  // Removes metadata, data and info files; only for an inspecting object.
  int DeleteImage();
  sts_image_info_v10_t GetImageProperties();

  // Returns the bytes read; 0 at or beyond the end of the data.
  int64_t ReadImage(void* buffer, uint64_t length, uint64_t offset);
  // Returns the data bytes written (0 when the image keeps no data).
  int64_t WriteImage(const sts_stat_v7_t* stat, const void* buffer,
                     uint64_t length, uint64_t offset);
  // One write to the metadata file; raises on failure.
  int64_t Write(int fd, const void* buffer, int length);
  static int64_t GetFileSize(int fd);

  static const std::string m_ImagePathNameSuffix;
  static const std::string m_ImageMetaPathNameSuffix;

 private:
  void Create();
  void Open();
  void Close();
  void SetPathNames();
  bool HasMetadata() const {
    return m_ImageInfo.IsClearFiles() || m_ImageInfo.IsOpaqueFiles();
  }
  bool IsWritable() const;
  int CreateFile(const std::string& path);
  void WriteStatusBlock(const sts_stat_v7_t* stat);
  int64_t WriteData(const void* buffer, uint64_t length, uint64_t offset);
  [[noreturn]] void RaiseWriteError(int error);
  void CloseDescriptors();

  int m_ImageFd;
  int m_ImageMetaFd;
  stsp_image_handle_s m_ImageHandle;
  VADIZUImageInfo::BDImageMode m_Mode;
  char m_ServerName[512];
  std::string m_LsuPathName;
  VADIZUImageInfo m_ImageInfo;
  std::string m_ImagePathName;
  std::string m_ImageMetaPathName;
};

#endif  // VADIZU_IMAGE_VADIZUIMAGE_H_
