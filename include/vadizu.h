/*
 * vadizu.h - the public face of libvadizu, a disk storage plug-in for backup
 * hosts.
 *
 * The host loads libvadizu.so, calls vadizu_init once per user of the
 * library, and then creates, opens, reads, writes, closes, deletes and lists
 * backup images through the functions below. Every function returns a status
 * code (STS_EOK or one of the STS_E* values) and reports failures through the
 * log callback of the session record it was given; nothing ever throws.
 *
 * All records belong to the caller. Text fields are fixed-size,
 * NUL-terminated arrays. The storage server name is a NUL-terminated array of
 * 512 chars.
 */
#ifndef VADIZU_H_
#define VADIZU_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VADIZU_EXPORT __attribute__((visibility("default")))

/* The lowest host interface version vadizu_init accepts. */
#define VADIZU_MIN_INTERFACE_VERSION 10

/* Status codes. */
#define STS_EOK 0
#define STS_EINVAL 2060001
#define STS_EMALLOC 2060002
#define STS_EASYNCOPS 2060003
#define STS_EASYNCDATA 2060004
#define STS_EBUSY 2060005
#define STS_EEXIST 2060006
#define STS_ECLIENTVERSION 2060007
#define STS_EPLUGINVERSION 2060008
#define STS_ECLAIM 2060009
#define STS_EINIT 2060010
#define STS_EOFFSET 2060011
#define STS_EAGAIN 2060012
#define STS_ENOENT 2060013
#define STS_EABORT 2060014
#define STS_ESAVEAS 2060015
#define STS_ENOTSUP 2060016
#define STS_ESYS 2060017
#define STS_EFNOTFOUND 2060018
#define STS_ESOCKET 2060019
#define STS_ECONNECT 2060020
#define STS_EPROTO 2060021
#define STS_EINTERNAL 2060022
#define STS_ESHUTDOWN 2060023
#define STS_EINTERFACE 2060024
#define STS_ECLIENT 2060025
#define STS_ESERVER 2060026
#define STS_ESTARTFILE 2060027
#define STS_EDNS 2060028
#define STS_EAUTH 2060029
#define STS_EIMGOVERLAP 2060030
#define STS_ENOSPC 2060031
#define STS_EPERM 2060037
#define STS_EIMGSTATE 2060041
#define STS_EFILESYSTEM 2060063

/* Log severities, matched bit by bit against a session's log_mask. */
#define VADIZU_SEVERITY_INFO 1u
#define VADIZU_SEVERITY_WARNING 3u
#define VADIZU_SEVERITY_ERROR 4u

/* Image status bits (sts_image_info_v10_t.status). */
#define VADIZU_STATUS_INCOMPLETE 0x01u
#define VADIZU_STATUS_COMPLETE 0x04u
#define VADIZU_STATUS_READING 0x10u
#define VADIZU_STATUS_WRITING 0x20u

/* Save-as bits (sts_image_def_v10_t.saveas): which files an image keeps. */
#define VADIZU_SAVEAS_CLEAR_FILES 0x1u  /* metadata file of status blocks */
#define VADIZU_SAVEAS_OPAQUE_FILES 0x2u /* metadata file of status blocks */
#define VADIZU_SAVEAS_IMAGE 0x4u        /* data file; required to create */

/* Image kinds (sts_image_def_v10_t.flags). */
#define VADIZU_IMAGE_KIND0 0u
#define VADIZU_IMAGE_KIND1 1u
#define VADIZU_IMAGE_LEGACY 2u /* data file named without date or suffix */
#define VADIZU_IMAGE_CREATE_FLAGGED 0x4u /* create-time bit, cleared */

/* Open modes for vadizu_open_image. */
#define VADIZU_OPEN_READ 1
#define VADIZU_OPEN_WRITE 2

/* Close flags: non-zero without VADIZU_CLOSE_ABORT marks the image complete. */
#define VADIZU_CLOSE_INCOMPLETE 0
#define VADIZU_CLOSE_COMPLETE 0x1
#define VADIZU_CLOSE_ABORT 0x2

/* Image-list selection bits for vadizu_open_image_list. */
#define VADIZU_LIST_KIND1 0x1  /* images whose flags are 1 */
#define VADIZU_LIST_KIND0 0x2  /* images whose flags are 0 */
#define VADIZU_LIST_LEGACY 0x4 /* images whose flags are 2 */
#define VADIZU_LIST_ALL 0x7

/* Status block flag: with data and metadata, keep no block for this write. */
#define VADIZU_STAT_SKIP_METADATA 0x4u

typedef uint32_t sts_severity_v7_t;
typedef void (*sts_log_callback_v7_t)(void *context, const char *message,
                                      sts_severity_v7_t severity);

typedef struct sts_session_def_v7 {
  uint64_t host_reserved;
  void *log_context;
  sts_log_callback_v7_t log_callback;
  uint32_t log_mask;
} sts_session_def_v7_t;

typedef struct sts_lsu_name_v7 {
  char name[1024];
} sts_lsu_name_v7_t;

typedef struct stskvr_isinfo_v65 {
  char master[512];
  uint32_t time, copy, stream;
  int32_t type;
  uint32_t fragment, instance;
  char client[512];
} stskvr_isinfo_v65_t;

typedef struct stskvr_isinfo_v701 {
  char master[512];
  uint32_t time, copy, stream;
  int32_t type;
  uint32_t fragment, instance;
  char client[512];
  char slpname[1024];
} stskvr_isinfo_v701_t;

typedef struct sts_isid_v10 {
  uint8_t host_reserved[8];
  char dpaid[64];
  char dpaver[32];
  union {
    stskvr_isinfo_v65_t v65;
    stskvr_isinfo_v701_t v701;
  } info;
} sts_isid_v10_t;

typedef struct sts_image_def_v10 {
  uint64_t version;
  char basename[1024];
  char date[32];
  char fulldate[32];
  char policy[1024];
  uint32_t saveas;
  uint32_t flags;
  char format[16];
  uint8_t host_reserved[8];
  sts_isid_v10_t isid;
} sts_image_def_v10_t;

typedef struct sts_image_info_v10 {
  uint64_t reserved;
  sts_image_def_v10_t def;
  char server[512];
  sts_lsu_name_v7_t lsu;
  uint64_t size;
  uint64_t blocksize;
  uint8_t host_reserved[16];
  uint32_t status;
} sts_image_info_v10_t;

/* The status block handed with a write: only flags and length are read. */
typedef struct sts_stat_v7 {
  uint8_t host_head[68];
  uint32_t flags;
  uint8_t host_mid[8];
  uint64_t length;
  uint8_t host_tail[432];
} sts_stat_v7_t;

typedef struct stsp_image_handle_s stsp_image_handle_s;
typedef struct stsp_image_list_handle_s stsp_image_list_handle_s;

#ifdef __cplusplus
#define VADIZU_STATIC_ASSERT static_assert
#else
#define VADIZU_STATIC_ASSERT _Static_assert
#endif
VADIZU_STATIC_ASSERT(offsetof(sts_stat_v7_t, flags) == 68, "stat flags at 68");
VADIZU_STATIC_ASSERT(offsetof(sts_stat_v7_t, length) == 80, "stat length at 80");
VADIZU_STATIC_ASSERT(sizeof(sts_stat_v7_t) == 520, "stat block size");
VADIZU_STATIC_ASSERT(sizeof(sts_lsu_name_v7_t) == 1024, "lsu record size");
VADIZU_STATIC_ASSERT(sizeof(stskvr_isinfo_v65_t) == 1048, "v65 record size");
VADIZU_STATIC_ASSERT(sizeof(stskvr_isinfo_v701_t) == 2072, "v701 record size");
VADIZU_STATIC_ASSERT(offsetof(stskvr_isinfo_v701_t, client) ==
                         offsetof(stskvr_isinfo_v65_t, client),
                     "shared product fields line up");
VADIZU_STATIC_ASSERT(sizeof(sts_isid_v10_t) == 2176, "identity size");
VADIZU_STATIC_ASSERT(sizeof(sts_image_def_v10_t) == 4328, "definition size");
VADIZU_STATIC_ASSERT(sizeof(sts_image_info_v10_t) == 5912, "properties size");
#undef VADIZU_STATIC_ASSERT

VADIZU_EXPORT int vadizu_init(uint64_t version);
VADIZU_EXPORT int vadizu_terminate(void);
VADIZU_EXPORT int vadizu_create_image(const sts_lsu_name_v7_t *lsu,
                                      const sts_session_def_v7_t *session,
                                      const char *server,
                                      const sts_image_def_v10_t *def,
                                      int flags, stsp_image_handle_s **out);
VADIZU_EXPORT int vadizu_open_image(const sts_lsu_name_v7_t *lsu,
                                    const sts_session_def_v7_t *session,
                                    const char *server,
                                    const sts_image_def_v10_t *def, int mode,
                                    stsp_image_handle_s **out);
VADIZU_EXPORT int vadizu_close_image(stsp_image_handle_s *image, int flags);
VADIZU_EXPORT int vadizu_read_image(stsp_image_handle_s *image, void *buf,
                                    uint64_t length, uint64_t offset,
                                    uint64_t *bytes_read);
VADIZU_EXPORT int vadizu_write_image(stsp_image_handle_s *image,
                                     const sts_stat_v7_t *stat,
                                     const void *buf, uint64_t length,
                                     uint64_t offset, uint64_t *bytes_written);
VADIZU_EXPORT int vadizu_delete_image(const sts_lsu_name_v7_t *lsu,
                                      const sts_session_def_v7_t *session,
                                      const char *server,
                                      const sts_image_def_v10_t *def,
                                      int flags);
VADIZU_EXPORT int vadizu_get_image_prop(stsp_image_handle_s *image,
                                        sts_image_info_v10_t *info);
VADIZU_EXPORT int vadizu_get_image_prop_byname(
    const sts_lsu_name_v7_t *lsu, const sts_session_def_v7_t *session,
    const char *server, const sts_image_def_v10_t *def,
    sts_image_info_v10_t *info);
VADIZU_EXPORT int vadizu_open_image_list(const sts_lsu_name_v7_t *lsu,
                                         const sts_session_def_v7_t *session,
                                         const char *server, int flags,
                                         stsp_image_list_handle_s **out);
VADIZU_EXPORT int vadizu_list_image(stsp_image_list_handle_s *list,
                                    sts_image_def_v10_t *def);
VADIZU_EXPORT int vadizu_close_image_list(stsp_image_list_handle_s *list);

#ifdef __cplusplus
}
#endif

#endif /* VADIZU_H_ */
