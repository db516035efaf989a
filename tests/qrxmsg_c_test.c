/* qrxmsg_c_test.c - include/qrxmsg.h from C: the header's layout checks compiled as C, and one component
 * opened, built, written with inserts and closed. Exits 0 only when every check passed. */
#include <stdio.h>
#include <string.h>

#include "qrxmsg.h"

int main(void) {
  static const qrxm_entry table[] = {{"zero", 4, 0}, {"got %d of %s", 12, 7}, {NULL, 0, 0}};
  const qrxm_entry *tp = table;
  const uintptr_t inserts[QRXM_INSERTS] = {3, (uintptr_t) "ten"};
  char buf[QRXM_MAX_TEXT];
  qrxm_desc d = {buf, sizeof buf, 0};
  qrxm_handle h;
  uint16_t attr = 0;
  const int ok = qrxm1in("ABC") == QRXM_OK &&
                 qrxm1om("CTESTCMP", &tp, QRXM_OUTPUT_RPO, "DEF", &h) == QRXM_OK &&
                 qrxm1bm(h, "1", &d, &attr) == QRXM_OK && attr == 7 && d.length == 18 &&
                 memcmp(buf, "ABCDEFgot %d of %s", 18) == 0 && qrxm1wf(h, "1", inserts) == QRXM_OK &&
                 qrxm1cm(h) == QRXM_OK && qrxm1cm(h) == QRXM_BAD_HANDLE && qrxm1te() == QRXM_OK;
  if (!ok) fprintf(stderr, "qrxmsg from C: a check failed\n");
  return ok ? 0 : 1;
}
