// The power manager's accounting of PoStartNextPowerIrp. Every driver that
// an IRP_MN_SET_POWER or IRP_MN_QUERY_POWER request reaches must call
// PoStartNextPowerIrp for it exactly once, from its dispatch routine, its
// completion routine or the callback of a power request it made for it; a
// missing or second call is a verifier finding.
#pragma once

#include <wdm.h>

namespace tm350::ntos {

// The power manager's own requests are accounted from sending to the end.
void BeginPowerAccounting(PIRP irp);
// Checks, fatally, that every driver the request reached has called
// PoStartNextPowerIrp, then forgets the request.
void EndPowerAccounting(PIRP irp);

// Fault injection: while set, PoRequestPowerIrp fails with
// STATUS_INSUFFICIENT_RESOURCES, as when no IRP can be allocated.
void SetPowerRequestFailure(bool fail);

}  // namespace tm350::ntos
