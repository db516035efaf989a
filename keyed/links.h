// links.h - the intrusive circular doubly linked list the keyed-file service and the message catalog keep
// their records on.
#pragma once

namespace qrx::keyed {

// A member of an intrusive circular list; a list's header is a Links whose next/prev point to itself when
// the list is empty. `self` is the block the links belong to (null in a header).
struct Links {
  Links *next = nullptr;
  Links *prev = nullptr;
  void *self = nullptr;
  void init_empty() { next = prev = this, self = nullptr; }
  bool empty() const { return next == this; }
  void push_front(Links *m) {
    m->next = next, m->prev = this;
    next->prev = m, next = m;
  }
  void push_back(Links *m) {
    m->prev = prev, m->next = this;
    prev->next = m, prev = m;
  }
  void unlink() {
    prev->next = next, next->prev = prev;
    next = prev = nullptr;
  }
  bool linked() const { return next != nullptr; }
};

}  // namespace qrx::keyed
