// Small owning handles for GObject, GstObject and mini-object references, so
// every early return releases what the scope took.
#pragma once

#include <gst/gst.h>

#include <utility>

namespace nerko {

template <typename T, auto Release>
class Owned {
 public:
  Owned() noexcept = default;
  // Adopts a reference the caller already owns (transfer full).
  explicit Owned(T *adopted) noexcept : ptr_(adopted) {}
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  Owned(Owned &&other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Owned &operator=(Owned &&other) noexcept {
    reset(std::exchange(other.ptr_, nullptr));
    return *this;
  }
  ~Owned() { reset(); }

  void reset(T *adopted = nullptr) noexcept {
    T *old = std::exchange(ptr_, adopted);
    if (old)
      Release(old);
  }
  [[nodiscard]] T *release() noexcept { return std::exchange(ptr_, nullptr); }
  T *get() const noexcept { return ptr_; }
  T *operator->() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  T *ptr_ = nullptr;
};

template <typename T>
inline void unref_mini_object(T *object) {
  gst_mini_object_unref(GST_MINI_OBJECT_CAST(object));
}

template <typename T>
using ObjectRef = Owned<T, gst_object_unref>;
using ElementRef = ObjectRef<GstElement>;
using PadRef = ObjectRef<GstPad>;
using BusRef = ObjectRef<GstBus>;
using CapsRef = Owned<GstCaps, unref_mini_object<GstCaps>>;
using MessageRef = Owned<GstMessage, unref_mini_object<GstMessage>>;
using EventRef = Owned<GstEvent, unref_mini_object<GstEvent>>;
using MainLoopRef = Owned<GMainLoop, g_main_loop_unref>;
using ErrorRef = Owned<GError, g_error_free>;
using GStringRef = Owned<gchar, g_free>;
using StructureRef = Owned<GstStructure, gst_structure_free>;
using SampleRef = Owned<GstSample, unref_mini_object<GstSample>>;

// Takes a new reference to a GstObject that the caller only borrows.
template <typename T>
ObjectRef<T> ref_object(T *borrowed) {
  return ObjectRef<T>(borrowed ? static_cast<T *>(gst_object_ref(borrowed)) : nullptr);
}

}  // namespace nerko
