#include "image/VADIZUImageList.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "error/VADIZUImageError.h"

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

bool HasInfoSuffix(const char* name, size_t length) {
  const std::string& suffix = VADIZUImageInfo::m_ImageInfoPathNameSuffix;
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
    : m_Flags(flags),
      m_ServerName{},
      m_LsuName{},
      m_Cursor(0),
      m_DirectoryLength(0),
      m_ListHandle{} {
  if (lsu != nullptr) m_LsuName = *lsu;
  m_ListHandle.object = this;
  if (session != nullptr) m_ListHandle.session = *session;
  if (serverName == nullptr ||
      strnlen(serverName, kServerNameSize) >= kServerNameSize) {
    VADIZU_THROW(STS_EINVAL);
  }
  strcpy(m_ServerName, serverName);
  GetFileList(lsu);
  m_Reader.emplace(m_ServerName, &m_ListHandle.session, &m_LsuName);
}

VADIZUImageList::~VADIZUImageList() { m_ListHandle.object = nullptr; }

void VADIZUImageList::NameBlock::Append(bool checkType, const char* name,
                                        size_t length) {
  const size_t needed = size + length + 2;
  if (needed > capacity) {
    const size_t grown = needed > 2 * capacity ? needed : 2 * capacity;
    char* block = static_cast<char*>(realloc(bytes.get(), grown));
    if (block == nullptr) throw std::bad_alloc();
    bytes.release();
    bytes.reset(block);
    capacity = grown;
  }
  char* entry = bytes.get() + size;
  entry[0] = checkType ? 1 : 0;
  memcpy(entry + 1, name, length + 1);
  size = needed;
}

void VADIZUImageList::GetFileList(const sts_lsu_name_v7_t* lsu) {
  if (lsu == nullptr) VADIZU_THROW(STS_EINVAL);
  m_Path.assign(lsu->name, strnlen(lsu->name, sizeof(lsu->name)));
  if (m_Path.empty() || m_Path.back() != '/') m_Path += '/';
  m_DirectoryLength = m_Path.size();
  std::unique_ptr<DIR, DirCloser> stream(opendir(m_Path.c_str()));
  if (!stream) VADIZU_THROW(STS_ENOENT);
  while (const dirent* entry = readdir(stream.get())) {
    // Only names that can be info files are kept: data files, metadata
    // files and everything else could never be listed, so the snapshot
    // need not hold them.
    const size_t length = strlen(entry->d_name);
    if (!HasInfoSuffix(entry->d_name, length)) continue;
    // The entry's type comes with it at no cost: a directory, FIFO, socket
    // or device is never an image, and a FIFO must not be opened at all.
    // Where the type says nothing of the file itself, the file is looked
    // at when its turn comes.
    bool checkType = false;
    switch (entry->d_type) {
      case DT_REG: break;
      case DT_LNK:
      case DT_UNKNOWN: checkType = true; break;
      default: continue;
    }
    try {
      m_FileList.Append(checkType, entry->d_name, length);
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

const sts_image_def_v10_t& VADIZUImageList::ListImage() {
  while (m_Cursor < m_FileList.size) {
    const char* entry = m_FileList.bytes.get() + m_Cursor;
    const bool checkType = entry[0] != 0;
    const size_t length = strlen(entry + 1);
    m_Cursor += length + 2;
    try {
      m_Path.replace(m_DirectoryLength, std::string::npos, entry + 1, length);
      // Every entry that is not a readable, valid info file fails or is
      // refused here and is skipped.
      m_Reader->ReadListed(m_Path, checkType);
      if (!m_Reader->ValidityCheck()) continue;
      const sts_image_def_v10_t& def = m_Reader->GetDefinition();
      if (Admits(def.flags)) return def;
    } catch (...) {
      continue;
    }
  }
  VADIZU_THROW(STS_ENOENT);
}
