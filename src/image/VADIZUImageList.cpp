#include "image/VADIZUImageList.h"

#include <dirent.h>

#include <cstring>
#include <memory>

#include "error/VADIZUImageError.h"
#include "info/VADIZUImageInfo.h"

namespace {

constexpr char kSourceFile[] = "../VADIZUImageList.cpp";

constexpr size_t kServerNameSize = 512;

// Which list bit admits which recorded flags value.
struct Selection {
  int listBit;
  uint32_t imageFlags;
};
constexpr Selection kSelections[] = {
    {VADIZU_LIST_KIND1, VADIZU_IMAGE_KIND1},
    {VADIZU_LIST_KIND0, VADIZU_IMAGE_KIND0},
    {VADIZU_LIST_LEGACY, VADIZU_IMAGE_LEGACY},
};

bool HasInfoSuffix(const char* name) {
  const std::string& suffix = VADIZUImageInfo::m_ImageInfoPathNameSuffix;
  const size_t length = strlen(name);
  return length >= suffix.size() &&
         suffix.compare(0, std::string::npos, name + length - suffix.size()) == 0;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

VADIZUImageList::VADIZUImageList(const sts_session_def_v7_t* session,
                                 const char* serverName,
                                 const sts_lsu_name_v7_t* lsu, int flags)
    : m_Flags(flags), m_ServerName{}, m_LsuName{}, m_ListHandle{} {
  if (lsu != nullptr) m_LsuName = *lsu;
  m_ListHandle.object = this;
  if (session != nullptr) m_ListHandle.session = *session;
  if (serverName == nullptr ||
      strnlen(serverName, kServerNameSize) >= kServerNameSize) {
    VADIZU_THROW(STS_EINVAL);
  }
  strcpy(m_ServerName, serverName);
  GetFileList(m_FileList, lsu);
  m_Cursor = m_FileList.begin();
}

VADIZUImageList::~VADIZUImageList() { m_ListHandle.object = nullptr; }

void VADIZUImageList::GetFileList(std::vector<std::string>& list,
                                  const sts_lsu_name_v7_t* lsu) {
  if (lsu == nullptr) VADIZU_THROW(STS_EINVAL);
  std::string dir(lsu->name, strnlen(lsu->name, sizeof(lsu->name)));
  list.clear();
  if (dir.empty() || dir.back() != '/') dir += '/';
  std::unique_ptr<DIR, DirCloser> stream(opendir(dir.c_str()));
  if (!stream) VADIZU_THROW(STS_ENOENT);
  while (const dirent* entry = readdir(stream.get())) {
    // Only names that can be info files are kept: data files, metadata
    // files and everything else could never be listed, so the snapshot
    // need not hold them.
    if (!HasInfoSuffix(entry->d_name)) continue;
    try {
      list.push_back(dir + entry->d_name);
    } catch (...) {
      // One entry that cannot be kept is dropped; the walk goes on.
    }
  }
}

bool VADIZUImageList::Admits(uint32_t imageFlags) const {
  for (const Selection& s : kSelections) {
    if ((m_Flags & s.listBit) != 0 && imageFlags == s.imageFlags) return true;
  }
  return false;
}

sts_image_def_v10_t VADIZUImageList::ListImage() {
  while (m_Cursor != m_FileList.end()) {
    const std::string& path = *m_Cursor++;
    try {
      // Every entry that is not a readable, valid info file fails or is
      // refused here and is skipped.
      VADIZUImageInfo info(m_ServerName, &m_ListHandle.session, &m_LsuName,
                           path);
      if (!info.ValidityCheck()) continue;
      const sts_image_def_v10_t& def = info.GetDefinition();
      if (Admits(def.flags)) return def;
    } catch (...) {
      continue;
    }
  }
  VADIZU_THROW(STS_ENOENT);
}
