// A reference-counted owning pointer for the handle registry. The count is
// a plain integer: the registry is never used from two threads at once.
#ifndef VADIZU_MANAGER_COUNTEDPTR_H_
#define VADIZU_MANAGER_COUNTEDPTR_H_

#include <cstdint>

template <typename T>
class CountedPtr final {
 public:
  // Takes ownership of object; a new counter starts at 1. When the counter
  // cannot be allocated the constructor throws and the caller still owns
  // the object, so it can undo what the object did before freeing it.
  explicit CountedPtr(T* object) : m_Object(object), m_Count(new int64_t(1)) {}
  CountedPtr(const CountedPtr& other)
      : m_Object(other.m_Object), m_Count(other.m_Count) {
    ++*m_Count;
  }
  CountedPtr& operator=(const CountedPtr&) = delete;
  ~CountedPtr() {
    if (--*m_Count > 0) return;
    delete m_Count;
    delete m_Object;
  }

  T* get() const { return m_Object; }
  T* operator->() const { return m_Object; }

 private:
  T* m_Object;
  int64_t* m_Count;
};

#endif  // VADIZU_MANAGER_COUNTEDPTR_H_
