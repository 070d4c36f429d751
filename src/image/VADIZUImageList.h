// A walk through the images of one LSU. The directory is read once, when
// the list is built; each ListImage call then reads info files from the
// remembered names until one is admitted by the selection flags. Entries
// that are not readable, valid info files are skipped silently.
#ifndef VADIZU_IMAGE_VADIZUIMAGELIST_H_
#define VADIZU_IMAGE_VADIZUIMAGELIST_H_

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "image/handles.h"
#include "info/VADIZUImageInfo.h"
#include "vadizu.h"

class VADIZUImageList final {
 public:
  VADIZUImageList(const sts_session_def_v7_t* session, const char* serverName,
                  const sts_lsu_name_v7_t* lsu, int flags);
  ~VADIZUImageList();

  VADIZUImageList(const VADIZUImageList&) = delete;
  VADIZUImageList& operator=(const VADIZUImageList&) = delete;

  // The next admitted image's definition, valid until the next call; throws
  // STS_ENOENT at the end and on every call after it.
  const sts_image_def_v10_t& ListImage();
  stsp_image_list_handle_s* GetImageListHandle() { return &m_ListHandle; }

 private:
  // The directory's snapshot: for every entry that can be an info file, one
  // byte saying whether its type is still to be checked on the file (a
  // symbolic link, or a file system that gives no type), then its name and
  // NUL, all back to back in one block. The block grows by realloc, which
  // can move a large block's pages instead of copying them.
  struct FreeBlock {
    void operator()(char* block) const { free(block); }
  };
  struct NameBlock {
    std::unique_ptr<char, FreeBlock> bytes;
    size_t size = 0;
    size_t capacity = 0;
    void Append(bool checkType, const char* name, size_t length);
  };

  // Fills m_FileList from the LSU directory and m_Path with its path.
  void GetFileList(const sts_lsu_name_v7_t* lsu);
  bool Admits(uint32_t imageFlags) const;

  int m_Flags;
  char m_ServerName[512];
  // A copy, so a host that reuses its record cannot disturb an open list.
  sts_lsu_name_v7_t m_LsuName;
  NameBlock m_FileList;
  size_t m_Cursor;  // offset of the next entry in m_FileList
  std::string m_Path;  // the LSU directory and '/', then the entry at hand
  size_t m_DirectoryLength;
  // One info object reads every listed file in turn, so a listed image
  // costs no allocation once the first has been read.
  std::optional<VADIZUImageInfo> m_Reader;
  stsp_image_list_handle_s m_ListHandle;
};

#endif  // VADIZU_IMAGE_VADIZUIMAGELIST_H_
