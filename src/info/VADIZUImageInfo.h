// The info object: the in-memory side of one image's info file. It names the
// image's files, renders and parses the KEY=value text, and drives the status
// protocol (write count plus status bits) that lets processes sharing an LSU
// see each other's writers and completed images. Every change to the file is
// one read-modify-write under the file's exclusive lock; between operations
// the object holds no file and no lock.
#ifndef VADIZU_INFO_VADIZUIMAGEINFO_H_
#define VADIZU_INFO_VADIZUIMAGEINFO_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "vadizu.h"

class VADIZUImageInfoHandle;

class VADIZUImageInfo final {
 public:
  enum BDImageMode : uint32_t {
    BDImageModeNone = 0,
    BDImageModeRead = 1,
    BDImageModeWrite = 2,
    BDImageModeCreate = 3,
    BDImageModeCreateFlagged = 4,
  };

  // What the info file holds: the write count, then the whole properties
  // record the host sees.
  struct BDImageInfo {
    uint32_t writeCount;
    sts_image_info_v10_t properties;
  };

  static constexpr uint32_t StatusIncomplete = VADIZU_STATUS_INCOMPLETE;
  static constexpr uint32_t StatusComplete = VADIZU_STATUS_COMPLETE;
  static constexpr uint32_t StatusReading = VADIZU_STATUS_READING;
  static constexpr uint32_t StatusWriting = VADIZU_STATUS_WRITING;
  static constexpr uint32_t SaveAsClearFiles = VADIZU_SAVEAS_CLEAR_FILES;
  static constexpr uint32_t SaveAsOpaqueFiles = VADIZU_SAVEAS_OPAQUE_FILES;
  static constexpr uint32_t SaveAsImage = VADIZU_SAVEAS_IMAGE;
  static constexpr uint32_t LegacyFlags = VADIZU_IMAGE_LEGACY;
  static constexpr uint32_t m_BlockSize = 32768;

  // The info file's keys, in the order they stand in the file. A key's
  // position is its index; kUnknownKey stands for a line with no known key.
  static constexpr size_t kInfoReadLimit = 4096;  // readers see no further
  static constexpr int kKeyCount = 23;
  static constexpr int kUnknownKey = kKeyCount;
  static const char* const BDDataTypeString[kKeyCount];
  static const std::string m_ImageInfoPathNameSuffix;
  // True when path can name an info file: longer than the suffix and ending
  // in it. SetPathNames(infoPath) refuses every other path.
  static bool IsInfoPath(const std::string& path);

  // Image object's constructor: fills the record from the definition, names
  // the files, then creates the info file (create modes) or reads and marks
  // it (other modes).
  VADIZUImageInfo(const char* server, const sts_session_def_v7_t* session,
                  const sts_image_def_v10_t* def,
                  const sts_lsu_name_v7_t* lsu, BDImageMode mode);
  // Listing constructor: an object that reads the LSU's info files one
  // after the other through ReadListed.
  VADIZUImageInfo(const char* server, const sts_session_def_v7_t* session,
                  const sts_lsu_name_v7_t* lsu);
  ~VADIZUImageInfo() = default;

  VADIZUImageInfo(const VADIZUImageInfo&) = delete;
  VADIZUImageInfo& operator=(const VADIZUImageInfo&) = delete;

  // Naming.
  static std::string GetBasePathName(std::string path);
  std::string GetImageBasePathName(const sts_image_def_v10_t* def) const;
  std::string GetImageBasePathName() const { return m_BasePathName; }
  void SetPathNames(const sts_image_def_v10_t* def);
  void SetPathNames(const std::string& infoPath);

  // Text format.
  std::string SetLines(const BDImageInfo& info) const;
  // The value views into the line.
  int ParseLine(std::string_view line, std::string_view& value) const;
  // Fills `info` in place from the first `length` bytes of an info file,
  // followed by a NUL at text[length]: a record is large, and listing
  // parses many.
  void ParseLines(const char* text, size_t length, BDImageInfo& info) const;
  std::string GetIsIdString(const sts_isid_v10_t& isid) const;
  std::string GetIsInfoKVR(const stskvr_isinfo_v65_t* info) const;
  std::string GetIsInfoKVR(const stskvr_isinfo_v701_t* info) const;

  // Moving the text through an open info file handle.
  // Reads the file's first bytes into text and terminates them; returns
  // how many were read.
  size_t ReadText(char (&text)[kInfoReadLimit + 1],
                  VADIZUImageInfoHandle& handle) const;
  // Replaces the in-memory record by what the file holds.
  void Read(VADIZUImageInfoHandle& handle);
  // Listing: makes this the object of the info file at infoPath and reads
  // it, without a lock. With checkType, a file that is not a regular file
  // is refused before it is read.
  void ReadListed(const std::string& infoPath, bool checkType);
  void Write(const BDImageInfo& info, VADIZUImageInfoHandle& handle,
             bool create) const;

  // Status protocol.
  void CreateImageInfo();
  void SetImageStatus();
  void ClearImageStatus(bool complete);
  void CloseImageInfo(bool complete);
  void SetImageSize(uint64_t size);  // logs instead of throwing
  int DeleteImageInfo();
  static int DeleteFile(const sts_session_def_v7_t& session,
                        const std::string& path);

  // Record and accessors.
  void SetImageInfo(const char* server, const sts_lsu_name_v7_t* lsu,
                    const sts_image_def_v10_t* def);
  sts_image_info_v10_t GetImageInfo() const { return m_Info.properties; }
  // The recorded definition, without copying the whole record.
  const sts_image_def_v10_t& GetDefinition() const {
    return m_Info.properties.def;
  }
  bool IsClearFiles() const { return HasSaveAs(SaveAsClearFiles); }
  bool IsOpaqueFiles() const { return HasSaveAs(SaveAsOpaqueFiles); }
  bool IsImage() const { return HasSaveAs(SaveAsImage); }
  bool IsLegacy() const { return m_Legacy; }
  bool ValidityCheck() const {
    return m_Info.properties.def.basename[0] != '\0';
  }
  // Different definitions can name the same files ("x.y" dated "z" and "x"
  // dated "y.z"; "a/b" and "a_b"). Refuses, as a missing image, an info file
  // that records another base name, or for a dated name another date, than
  // this object was asked for. A file that records no base name passes.
  void CheckRecordsRequestedImage() const;

 private:
  static bool IsWriteMode(BDImageMode mode) {
    return mode == BDImageModeWrite || mode == BDImageModeCreate ||
           mode == BDImageModeCreateFlagged;
  }
  bool HasSaveAs(uint32_t bit) const {
    return (m_Info.properties.def.saveas & bit) != 0;
  }
  void SetCommonFields(const char* server, const sts_session_def_v7_t* session,
                       const sts_lsu_name_v7_t* lsu);
  void ReadUnlocked();
  bool RendersKeyByKey(const BDImageInfo& info) const;
  size_t PaddingForNewFile(size_t textLength) const;

  std::string m_BasePathName;
  std::string m_InfoPathName;
  sts_session_def_v7_t m_Session;
  char m_ServerName[512];
  std::string m_LsuPathName;
  BDImageInfo m_Info;
  BDImageMode m_Mode;
  bool m_Legacy;
  // What the requested image's file name is made from (NameFields); empty
  // for the listing constructor, which asks for no name.
  std::string m_RequestedName;
};

#endif  // VADIZU_INFO_VADIZUIMAGEINFO_H_
