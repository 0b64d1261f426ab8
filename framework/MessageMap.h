// Per-class message maps: a static table of entries routing window messages
// and control commands to member handlers. A class's map falls through to its
// base class's map, so a derived window chains to its base's handlers.
//
//   class MyDialog : public CDialog { ... DECLARE_MESSAGE_MAP() };
//   BEGIN_MESSAGE_MAP(MyDialog, CDialog)
//     ON_MESSAGE(WM_PAINT, OnPaint)
//     ON_BN_CLICKED(1000, OnUpgrade)
//   END_MESSAGE_MAP()
//
// Every handler has the form  LRESULT OnSomething(WPARAM, LPARAM).
#pragma once

#include <windows.h>

#include <cstddef>

namespace fw {

template <class T>
struct MessageMapEntry {
  UINT firstMessage;
  UINT lastMessage;
  UINT notifyCode;  // WM_COMMAND entries only
  UINT controlId;   // WM_COMMAND entries only
  const UINT* registeredMessage;  // non-null: the id is read at dispatch time
  LRESULT (T::*handler)(WPARAM, LPARAM);

  bool Matches(UINT message, WPARAM wParam) const {
    if (registeredMessage) return *registeredMessage != 0 && message == *registeredMessage;
    if (message < firstMessage || message > lastMessage) return false;
    if (message == WM_COMMAND) return HIWORD(wParam) == notifyCode && LOWORD(wParam) == controlId;
    return true;
  }
};

template <class T, size_t N>
bool DispatchMessageMap(T* self, const MessageMapEntry<T> (&entries)[N], UINT message, WPARAM wParam, LPARAM lParam,
                        LRESULT& result) {
  for (const auto& entry : entries) {
    if (!entry.Matches(message, wParam)) continue;
    result = (self->*entry.handler)(wParam, lParam);
    return true;
  }
  return false;
}

}  // namespace fw

#define DECLARE_MESSAGE_MAP() \
 protected:                   \
  bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

#define BEGIN_MESSAGE_MAP(Class, Base)                                                 \
  bool Class::OnWndMsg(UINT message_, WPARAM wParam_, LPARAM lParam_, LRESULT& result_) { \
    using ThisClass = Class;                                                           \
    using MapBaseClass = Base;                                                         \
    static const ::fw::MessageMapEntry<Class> entries_[] = {

#define ON_MESSAGE(message, handler) {message, message, 0, 0, nullptr, &ThisClass::handler},
#define ON_MESSAGE_RANGE(first, last, handler) {first, last, 0, 0, nullptr, &ThisClass::handler},
#define ON_REGISTERED_MESSAGE(idVariable, handler) {0, 0, 0, 0, &idVariable, &ThisClass::handler},
#define ON_COMMAND_CODE(code, id, handler) {WM_COMMAND, WM_COMMAND, code, id, nullptr, &ThisClass::handler},
#define ON_BN_CLICKED(id, handler) ON_COMMAND_CODE(BN_CLICKED, id, handler)
// All WM_CTLCOLOR* messages; the control kind is message - WM_CTLCOLORMSGBOX.
#define ON_WM_CTLCOLOR(handler) ON_MESSAGE_RANGE(WM_CTLCOLORMSGBOX, WM_CTLCOLORSTATIC, handler)

#define END_MESSAGE_MAP()                                                                \
  };                                                                                     \
  if (::fw::DispatchMessageMap(this, entries_, message_, wParam_, lParam_, result_)) return true; \
  return MapBaseClass::OnWndMsg(message_, wParam_, lParam_, result_);                    \
  }
