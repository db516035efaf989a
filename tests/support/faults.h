// faults.h - how the fault sweeps arm, count and clear the library's fault hooks: the block files'
// (failing or short transfers, syncs, opens) and the host family's counted allocations.
#pragma once

#include <cstdint>

#include "cbt/blockio/blockio.h"
#include "host/qrxhost.h"

namespace qrx::test {

// What goes wrong at the nth event of its kind: a sync, an open, a block read, a block write or a record
// write fails; every transfer (blocks and byte ranges) moves its bytes in short pieces; an allocation fails.
enum class Fault { kSync, kOpen, kRead, kWrite, kRangeWrite, kShortTransfer, kAllocation };

// Arms the nth fault of that kind (1: the next event), and with sticky every one after it.
inline void arm_fault(Fault f, uint64_t nth, bool sticky) {
  using blockio::FaultOn;
  constexpr auto kEveryTransfer = static_cast<FaultOn>(
      uint32_t(FaultOn::kBoth) | uint32_t(FaultOn::kRangeRead) | uint32_t(FaultOn::kRangeWrite));
  switch (f) {
    case Fault::kAllocation:
      return qrxhost_alloc_fault(nth, sticky);
    case Fault::kShortTransfer:
      return blockio::fault_arm(kEveryTransfer, nth, sticky, blockio::FaultHow::kShort);
    case Fault::kSync:
      return blockio::fault_arm(FaultOn::kSync, nth, sticky);
    case Fault::kOpen:
      return blockio::fault_arm(FaultOn::kOpen, nth, sticky);
    case Fault::kRead:
      return blockio::fault_arm(FaultOn::kRead, nth, sticky);
    case Fault::kWrite:
      return blockio::fault_arm(FaultOn::kWrite, nth, sticky);
    case Fault::kRangeWrite:
      return blockio::fault_arm(FaultOn::kRangeWrite, nth, sticky);
  }
}

// Events of that kind counted since arming (the failed ones included).
inline uint64_t faults_counted(Fault f) {
  return f == Fault::kAllocation ? qrxhost_alloc_count() : blockio::fault_count();
}

inline void disarm_faults() {
  blockio::fault_disarm();
  qrxhost_alloc_fault(0, 0);
}

}  // namespace qrx::test
