// Reader of the product's named shared memory.
#pragma once

#include <windows.h>

#include <cstddef>

#include "framework/Scoped.h"

class HandoffMapping {
 public:
  HandoffMapping() = default;
  virtual ~HandoffMapping();
  HandoffMapping(const HandoffMapping&) = delete;
  HandoffMapping& operator=(const HandoffMapping&) = delete;

  // Opens the existing mapping `name` with all access and maps all of it;
  // the view address, or null.
  void* OpenAndMap(const char* name);

  // Bytes of the object that may be read through the view: the mapping's own
  // size where the system reports it, else the view's whole pages.
  size_t Size() const;

 private:
  fw::ScopedHandle m_hMapping;
  fw::ScopedView m_pView;  // goes first: unmapped before the handle closes
};
