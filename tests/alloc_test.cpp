// Out of memory anywhere: operator new fails the N-th allocation once armed
// (alone, or with all that follow), for N = 1, 2, ... until a call makes fewer
// than N. Every exported function must then return a status code (no exception
// reaches the host), give back its descriptors and leave no file it made.
#include <cstdlib>
#include <functional>
#include <new>
#include <utility>

#include "host.h"

namespace {

long g_countdown = 0;  // allocations to go until the failing one; 0: disarmed
bool g_sticky = false;  // every allocation after the failing one fails too
bool g_failed = false;

void* Allocate(size_t size, bool nothrow) {
  const bool fail = g_countdown > 0 && --g_countdown == 0;
  if (fail) g_countdown = g_sticky ? 1 : 0;
  g_failed |= fail;
  void* p = fail ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr && !nothrow) throw std::bad_alloc();
  return p;
}

// Where a call starts: the image open for writing, closed, listed, or none.
enum State { kNoLibrary, kEmpty, kWriting, kIncomplete, kComplete, kListing };

}  // namespace

// The array forms call these; ASan keeps its own array forms, which pair up.
void* operator new(size_t n) { return Allocate(n, false); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  return Allocate(n, true);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

TEST(AllocTest, EveryAllocationFailureBecomesAStatusCode) {
  host::ScratchDir dir;
  const sts_lsu_name_v7_t lsu = host::MakeLsu(dir.path());
  const sts_image_def_v10_t def =
      host::MakeDef("oom", "d", host::kSaveAsDataAndMeta);
  sts_session_def_v7_t session{};  // a callback that allocates nothing, so
  session.log_mask = 7;            // every allocation counted is the library's
  session.log_callback = [](void*, const char*, sts_severity_v7_t) {};
  stsp_image_handle_s* image = nullptr;
  stsp_image_list_handle_s* list = nullptr;
  sts_image_info_v10_t props;
  auto byName = [&](auto call, auto... args) {
    return call(&lsu, &session, host::Server(), &def, args...);
  };

  // Opened with none open; a failed call's out pointer is never kept, and a
  // closed handle is gone whatever its close returns. Mode 0 creates.
  auto open = [&](int mode) {
    const int rc = mode == 0 ? byName(vadizu_create_image, 0, &image)
                             : byName(vadizu_open_image, mode, &image);
    image = rc == STS_EOK ? image : nullptr;
    return rc;
  };
  auto close = [&](int flags) {
    return vadizu_close_image(std::exchange(image, nullptr), flags);
  };
  auto openList = [&] {
    int rc = vadizu_open_image_list(&lsu, &session, host::Server(), 7, &list);
    list = rc == STS_EOK ? list : nullptr;
    return rc;
  };
  auto setUp = [&](State state) {
    if (state == kNoLibrary || vadizu_init(10) != 0 || state == kEmpty) return;
    ASSERT_EQ(STS_EOK, open(0));
    if (state == kWriting) return;
    ASSERT_EQ(STS_EOK, close(state == kIncomplete ? 0 : 1));
    ASSERT_EQ(STS_EOK, state == kListing ? openList() : STS_EOK);
  };

  const std::pair<State, std::function<int()>> cases[] = {
      {kNoLibrary, [] { return vadizu_init(10); }},
      {kEmpty, [&] { return open(0); }},
      {kComplete, [&] { return open(0); }},  // refused: logs the refusal
      {kComplete, [&] { return open(VADIZU_OPEN_READ); }},
      {kIncomplete, [&] { return open(VADIZU_OPEN_WRITE); }},
      {kWriting, [&] { return close(VADIZU_CLOSE_COMPLETE); }},
      {kComplete, [&] { return byName(vadizu_get_image_prop_byname, &props); }},
      {kComplete, [&] { return byName(vadizu_delete_image, 0); }},
      {kComplete, openList},
      {kListing, [&] { return vadizu_list_image(list, &props.def); }},
  };
  int points = 0;
  for (bool sticky : {false, true}) {
    for (size_t i = 0; i < std::size(cases); ++i) {
      for (long n = 1; n == 1 || g_failed; ++n) {
        const int fds = host::OpenFdCount();
        setUp(cases[i].first);
        g_failed = false;
        g_sticky = sticky;
        g_countdown = n;
        int rc = -1;  // stays when an exception escapes
        try {
          rc = cases[i].second();
        } catch (...) {
        }
        g_countdown = 0;
        SCOPED_TRACE("case " + std::to_string(i) + " N=" + std::to_string(n) +
                     (sticky ? " and on" : " alone"));
        points += g_failed;
        EXPECT_TRUE(rc == 0 || (rc >= STS_EINVAL && rc <= STS_EFILESYSTEM)) << rc;
        if (rc != STS_EOK && cases[i].first == kEmpty) {
          EXPECT_EQ(std::vector<std::string>{}, host::DirEntries(dir.path()));
        }
        vadizu_init(10);  // to clean up through, whatever the call did
        close(0);
        vadizu_close_image_list(std::exchange(list, nullptr));
        byName(vadizu_delete_image, 0);
        while (vadizu_terminate() == STS_EOK) continue;
        EXPECT_EQ(fds, host::OpenFdCount());
        EXPECT_TRUE(host::DirEntries(dir.path()).empty());
      }
    }
  }
  EXPECT_GT(points, 0);  // so the library's allocations do come here
}
