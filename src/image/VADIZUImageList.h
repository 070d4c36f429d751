// A walk through the images of one LSU. The directory is read once, when
// the list is built; each ListImage call then reads info files from the
// remembered names until one is admitted by the selection flags. Entries
// that are not readable, valid info files are skipped silently.
#ifndef VADIZU_IMAGE_VADIZUIMAGELIST_H_
#define VADIZU_IMAGE_VADIZUIMAGELIST_H_

#include <string>
#include <vector>

#include "image/handles.h"
#include "vadizu.h"

class VADIZUImageList final {
 public:
  VADIZUImageList(const sts_session_def_v7_t* session, const char* serverName,
                  const sts_lsu_name_v7_t* lsu, int flags);
  ~VADIZUImageList();

  VADIZUImageList(const VADIZUImageList&) = delete;
  VADIZUImageList& operator=(const VADIZUImageList&) = delete;

  // The next admitted image's definition; throws STS_ENOENT at the end and
  // on every call after it.
  sts_image_def_v10_t ListImage();
  stsp_image_list_handle_s* GetImageListHandle() { return &m_ListHandle; }

 private:
  static void GetFileList(std::vector<std::string>& list,
                          const sts_lsu_name_v7_t* lsu);
  bool Admits(uint32_t imageFlags) const;

  int m_Flags;
  char m_ServerName[512];
  // A copy, so a host that reuses its record cannot disturb an open list.
  sts_lsu_name_v7_t m_LsuName;
  std::vector<std::string> m_FileList;
  std::vector<std::string>::const_iterator m_Cursor;
  stsp_image_list_handle_s m_ListHandle;
};

#endif  // VADIZU_IMAGE_VADIZUIMAGELIST_H_
