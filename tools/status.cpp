#include "status.h"

#include "vadizu.h"

namespace vadizu_tool {
namespace {

struct StatusEntry {
  int code;
  const char* name;
  const char* hint;
};

#define STATUS(code, hint) \
  { code, #code, hint }
constexpr StatusEntry kStatusTable[] = {
    STATUS(STS_EOK, ""),
    STATUS(STS_EINVAL, "invalid argument"),
    STATUS(STS_EMALLOC, "out of memory"),
    STATUS(STS_EASYNCOPS, ""),
    STATUS(STS_EASYNCDATA, ""),
    STATUS(STS_EBUSY, "another writer holds the image"),
    STATUS(STS_EEXIST, "already exists"),
    STATUS(STS_ECLIENTVERSION, ""),
    STATUS(STS_EPLUGINVERSION, "host interface version refused"),
    STATUS(STS_ECLAIM, ""),
    STATUS(STS_EINIT, "plug-in not initialised"),
    STATUS(STS_EOFFSET, ""),
    STATUS(STS_EAGAIN, ""),
    STATUS(STS_ENOENT, "no such image"),
    STATUS(STS_EABORT, ""),
    STATUS(STS_ESAVEAS, ""),
    STATUS(STS_ENOTSUP, "not supported"),
    STATUS(STS_ESYS, "system call failed"),
    STATUS(STS_EFNOTFOUND, ""),
    STATUS(STS_ESOCKET, ""),
    STATUS(STS_ECONNECT, ""),
    STATUS(STS_EPROTO, ""),
    STATUS(STS_EINTERNAL, "internal error in the plug-in"),
    STATUS(STS_ESHUTDOWN, ""),
    STATUS(STS_EINTERFACE, ""),
    STATUS(STS_ECLIENT, ""),
    STATUS(STS_ESERVER, ""),
    STATUS(STS_ESTARTFILE, ""),
    STATUS(STS_EDNS, ""),
    STATUS(STS_EAUTH, ""),
    STATUS(STS_EIMGOVERLAP, ""),
    STATUS(STS_ENOSPC, "no space left on the device"),
    STATUS(STS_EPERM, "permission denied"),
    STATUS(STS_EIMGSTATE,
           "the image is not incomplete, so it cannot be written"),
    STATUS(STS_EFILESYSTEM, "file system limit reached"),
};
#undef STATUS

const StatusEntry* Find(int code) {
  for (const StatusEntry& entry : kStatusTable) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

}  // namespace

std::string StatusName(int code) {
  const StatusEntry* entry = Find(code);
  return entry != nullptr ? entry->name : "status " + std::to_string(code);
}

const char* StatusHint(int code) {
  const StatusEntry* entry = Find(code);
  return entry != nullptr ? entry->hint : "";
}

}  // namespace vadizu_tool
