// Test hook of the host controller: the request blocks function drivers
// handed it, as they arrived, for what a device never sees (a request
// block's header length, its transfer flags). Plain C++, so a test that
// talks to a driver through <windows.h> can read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tm350::usb {

struct UrbTrace {
    uint16_t function = 0;
    uint16_t length = 0;  // the header's Length
    // TransferFlags of the functions that carry them (vendor and class
    // requests, control, bulk and isochronous transfers), 0 for the others.
    uint32_t transfer_flags = 0;
    // TransferBufferLength as submitted, for bulk and interrupt transfers; 0
    // for the others.
    uint32_t transfer_length = 0;
};

// How many request blocks RecentUrbs keeps.
constexpr size_t kUrbHistory = 64;

// The last kUrbHistory request blocks submitted on any port, oldest first,
// and how many have been submitted in all.
std::vector<UrbTrace> RecentUrbs();
uint64_t UrbCount();

}  // namespace tm350::usb
