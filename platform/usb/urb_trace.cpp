#include "usb/urb_trace.h"

#include <deque>
#include <mutex>

#include "usb/urb_trace_internal.h"

namespace tm350::usb {
namespace {

std::mutex g_mutex;
std::deque<UrbTrace> g_history;  // guarded by g_mutex
uint64_t g_count = 0;            // guarded by g_mutex

uint32_t TransferFlagsOf(const URB &urb) {
    switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: return urb.UrbControlVendorClassRequest.TransferFlags;
    case URB_FUNCTION_CONTROL_TRANSFER: return urb.UrbControlTransfer.TransferFlags;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return urb.UrbBulkOrInterruptTransfer.TransferFlags;
    case URB_FUNCTION_ISOCH_TRANSFER: return urb.UrbIsochronousTransfer.TransferFlags;
    default: return 0;
    }
}

}  // namespace

void TraceUrb(const URB &urb) {
    const uint32_t length = urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                                ? urb.UrbBulkOrInterruptTransfer.TransferBufferLength
                                : 0;
    const UrbTrace trace{urb.UrbHeader.Function, urb.UrbHeader.Length, TransferFlagsOf(urb), length};
    std::lock_guard<std::mutex> lock(g_mutex);
    g_history.push_back(trace);
    if (g_history.size() > kUrbHistory) g_history.pop_front();
    ++g_count;
}

std::vector<UrbTrace> RecentUrbs() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::vector<UrbTrace>(g_history.begin(), g_history.end());
}

uint64_t UrbCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_count;
}

}  // namespace tm350::usb
