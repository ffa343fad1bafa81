// The component model: reference-counted objects behind abstract interfaces, each
// interface with a fixed 128-bit identifier. This is a minimal stand-in for COM:
// no registration, no apartments, no creation by identifier.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "common/resultcodes.h"

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.Data4[i] != b.Data4[i]) return false;
    return true;
  }
};
using IID = GUID;
using REFIID = const IID&;

namespace guid_detail {
constexpr uint32_t HexDigit(char c) {
  return (c >= '0' && c <= '9')   ? uint32_t(c - '0')
         : (c >= 'a' && c <= 'f') ? uint32_t(c - 'a' + 10)
         : (c >= 'A' && c <= 'F') ? uint32_t(c - 'A' + 10)
                                  : throw "not a hex digit";
}
constexpr uint32_t Hex(const char* s, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 4) | HexDigit(s[i]);
  return v;
}
}  // namespace guid_detail

// A GUID from its registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", at compile time.
consteval GUID GuidFromString(const char (&s)[39]) {
  if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}')
    throw "not a GUID in registry form";
  GUID g{};
  g.Data1 = guid_detail::Hex(s + 1, 8);
  g.Data2 = static_cast<uint16_t>(guid_detail::Hex(s + 10, 4));
  g.Data3 = static_cast<uint16_t>(guid_detail::Hex(s + 15, 4));
  g.Data4[0] = static_cast<uint8_t>(guid_detail::Hex(s + 20, 2));
  g.Data4[1] = static_cast<uint8_t>(guid_detail::Hex(s + 22, 2));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<uint8_t>(guid_detail::Hex(s + 25 + 2 * i, 2));
  return g;
}

inline constexpr IID IID_IUnknown = GuidFromString("{00000000-0000-0000-C000-000000000046}");

// Slots 0 to 2 of every component interface. Objects are destroyed by their last
// Release, never by delete through the interface.
class IUnknown {
 public:
  static constexpr IID kIID = IID_IUnknown;
  virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Implements the reference count and QueryInterface for an object with one interface.
// `Interface` must derive from IUnknown and declare `static constexpr IID kIID`.
// Objects start with a count of 0; the creator takes the first reference.
template <class Interface>
class CUnknownImpl : public Interface {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == Interface::kIID) {
      *ppv = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    uint32_t left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  CUnknownImpl() = default;
  virtual ~CUnknownImpl() = default;

 private:
  std::atomic<uint32_t> m_refs{0};
};

// Owning smart pointer for reference-counted interfaces: copies AddRef, destruction
// and reset Release. Not synchronised: one RefPtr object must not be written by two
// threads at once (the object it points to may be shared freely).
template <class T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(std::nullptr_t) {}
  // Takes a new reference on p.
  explicit RefPtr(T* p) : m_p(p) {
    if (m_p) m_p->AddRef();
  }
  RefPtr(const RefPtr& o) : RefPtr(o.m_p) {}
  RefPtr(RefPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
  template <class U>
  RefPtr(const RefPtr<U>& o) : RefPtr(static_cast<T*>(o.get())) {}
  ~RefPtr() { reset(); }

  RefPtr& operator=(const RefPtr& o) {
    RefPtr(o).swap(*this);
    return *this;
  }
  RefPtr& operator=(RefPtr&& o) noexcept {
    RefPtr(std::move(o)).swap(*this);
    return *this;
  }
  RefPtr& operator=(std::nullptr_t) {
    reset();
    return *this;
  }

  // Adopts a reference the caller already owns (no AddRef).
  static RefPtr Adopt(T* p) {
    RefPtr r;
    r.m_p = p;
    return r;
  }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(m_p, nullptr); }
  // Releases the current object and returns the slot for an out parameter that
  // receives a new reference, as creation functions hand them out.
  T** Receive() {
    reset();
    return &m_p;
  }
  // Hands out a new reference through an out parameter.
  void CopyTo(T** pp) const {
    if (!pp) return;
    *pp = m_p;
    if (m_p) m_p->AddRef();
  }

  void reset() {
    if (T* p = std::exchange(m_p, nullptr)) p->Release();
  }
  void swap(RefPtr& o) noexcept { std::swap(m_p, o.m_p); }

  T* get() const { return m_p; }
  T* operator->() const { return m_p; }
  T& operator*() const { return *m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  friend bool operator==(const RefPtr& a, const RefPtr& b) { return a.m_p == b.m_p; }
  friend bool operator==(const RefPtr& a, std::nullptr_t) { return a.m_p == nullptr; }

 private:
  T* m_p = nullptr;
};

// Looks up another interface of an object: a new reference in *out, or E_NOINTERFACE.
template <class To, class From>
HRESULT QueryInterfaceTo(From* from, RefPtr<To>* out) {
  if (!from || !out) return E_POINTER;
  void* pv = nullptr;
  HRESULT hr = from->QueryInterface(To::kIID, &pv);
  if (SUCCEEDED(hr)) *out = RefPtr<To>::Adopt(static_cast<To*>(pv));
  return hr;
}
