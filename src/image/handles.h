// The records behind the opaque handles the host receives. Each is embedded
// in the object it names, so its address is unique among live objects and
// stable for the object's life. The session copy is what later calls on the
// handle log through.
#ifndef VADIZU_IMAGE_HANDLES_H_
#define VADIZU_IMAGE_HANDLES_H_

#include "vadizu.h"

class VADIZUImage;
class VADIZUImageList;

struct stsp_image_handle_s {
  VADIZUImage* object;  // cleared by the object's destructor
  sts_session_def_v7_t session;
};

struct stsp_image_list_handle_s {
  VADIZUImageList* object;  // cleared by the object's destructor
  sts_session_def_v7_t session;
};

#endif  // VADIZU_IMAGE_HANDLES_H_
