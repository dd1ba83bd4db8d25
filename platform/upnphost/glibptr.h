// Owning holders for the C handles of GLib, GObject and libxml2.
#pragma once

#include <glib-object.h>
#include <libxml/tree.h>

#include <memory>

namespace qel::upnphost {

struct GObjectUnref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
  }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
  void operator()(GError* e) const {
    if (e) g_error_free(e);
  }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFree {
  void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFree>;

struct GBytesUnref {
  void operator()(GBytes* b) const {
    if (b) g_bytes_unref(b);
  }
};
using GBytesPtr = std::unique_ptr<GBytes, GBytesUnref>;

struct XmlDocFree {
  void operator()(xmlDoc* d) const {
    if (d) xmlFreeDoc(d);
  }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;

struct XmlFree {
  void operator()(void* p) const {
    if (p) xmlFree(p);
  }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlFree>;

struct GSourceUnref {
  void operator()(GSource* s) const {
    if (s) {
      g_source_destroy(s);
      g_source_unref(s);
    }
  }
};
using GSourcePtr = std::unique_ptr<GSource, GSourceUnref>;

// A GError out-parameter slot: `GErrorPtr err; f(..., Out(err))`.
class GErrorOut {
 public:
  explicit GErrorOut(GErrorPtr& target) : m_target(target) {}
  ~GErrorOut() { m_target.reset(m_error); }
  operator GError**() { return &m_error; }

 private:
  GErrorPtr& m_target;
  GError* m_error = nullptr;
};
inline GErrorOut Out(GErrorPtr& e) { return GErrorOut(e); }

}  // namespace qel::upnphost
