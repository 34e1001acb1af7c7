// Ownership of what libatspi and GLib hand out: object references, g_malloc'd
// memory, and arrays whose every entry holds a reference.
#pragma once

#include <glib-object.h>
#include <glib.h>

#include <cstddef>
#include <memory>

namespace kestreye::atspi {

/// Gives up an object reference (g_object_unref); null is fine.
struct GObjectUnref {
  void operator()(void* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};

/// Frees memory from g_malloc (g_free).
struct GFree {
  void operator()(void* memory) const { g_free(memory); }
};

/// Drops a hash table reference (g_hash_table_unref).
struct GHashTableUnref {
  void operator()(GHashTable* table) const {
    if (table != nullptr) g_hash_table_unref(table);
  }
};

/// One owned reference to a GObject.
template <class T>
using GRef = std::unique_ptr<T, GObjectUnref>;
/// An owned string from g_malloc.
using GText = std::unique_ptr<char, GFree>;
/// An owned hash table reference.
using GTable = std::unique_ptr<GHashTable, GHashTableUnref>;

/// A new reference to `object`, which may be null.
template <class T>
GRef<T> newRef(T* object) {
  if (object != nullptr) g_object_ref(object);
  return GRef<T>(object);
}

/// A GArray of object pointers whose entries each hold one reference, as
/// libatspi's collection matches and relation sets come: the entries not
/// taken are released, and the array freed, with this owner.
template <class T>
class GObjectArray {
 public:
  explicit GObjectArray(GArray* array) : array_(array) {}
  GObjectArray(const GObjectArray&) = delete;
  GObjectArray& operator=(const GObjectArray&) = delete;
  ~GObjectArray() {
    if (array_ == nullptr) return;
    for (size_t i = 0; i < size(); ++i) GObjectUnref()(at(i));
    g_array_free(array_, TRUE);
  }

  /// Whether there is no array at all (the call failed).
  bool null() const { return array_ == nullptr; }
  /// The number of entries; 0 without an array.
  size_t size() const { return array_ == nullptr ? 0 : array_->len; }
  /// Entry `i`, still owned by the array.
  T* at(size_t i) const { return g_array_index(array_, T*, i); }
  /// Takes over the reference of entry `i`.
  GRef<T> take(size_t i) {
    T* entry = at(i);
    g_array_index(array_, T*, i) = nullptr;
    return GRef<T>(entry);
  }

 private:
  GArray* array_;
};

}  // namespace kestreye::atspi
