/* qrxus_c_test.c - include/qrxus.h from C: an attribute found through a sub-space, then the store destroyed
 * and its handles refused. Exits 0 only when every check passed. */
#include <string.h>

#include "qrxus.h"

_Static_assert(sizeof(UsrHandle) == 8 && offsetof(UsrHandle, zero) == 2, "handle layout");
_Static_assert(offsetof(UsrDescriptor, size) == sizeof(void *), "descriptor layout");

int main(void) {
  UsrDescriptor name = {"books", 5, 5}, found = {0, 0, 0};
  UsrHandle top, mid, sub;
  int32_t status = -1, reason = -1;
  int ok = qrxuscu(&name, &top, &status) == QRXUS_OK && qrxuscs(top, &mid) == 0 && qrxuscs(mid, &sub) == 0;
  ok = ok && qrxussa(mid, &name, &name) == 0 && qrxusga(sub, &name, &found) == 0 && found.length == 5;
  ok = ok && memcmp(found.bytes, "books", 5) == 0 && qrxusgr(sub, &reason) == 0 && reason == QRXUS_R_OK;
  ok = ok && qrxusdu(top, &status) == QRXUS_OK && status == 0 && qrxusgr(sub, &reason) == QRXUS_BAD_HANDLE;
  return ok ? 0 : 1;
}
