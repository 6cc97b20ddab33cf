// The host controller's frame clock: its thread runs one bus frame per
// period and completes what the frame finished.
#include "usb/host_controller.h"

#include <usbdi.h>
#include <usbdlib.h>

#include <chrono>
#include <thread>

namespace tm350::usb::host {

void RunFrame(UsbBus::State &bus, std::vector<Completion> &completions) {
    const uint32_t frame = ++bus.frame;
    ++bus.counters.frames;
    for (auto &owned : bus.ports) {
        Port &port = *owned;
        // A device that left without the hub noticing yet still has its
        // transfers run: it answers none of them, and they fail as on the wire.
        if (!port.plugged) continue;
        port.device->StartOfFrame(frame);
        RunControlQueue(port, completions, bus.counters);
        for (Pipe &pipe : port.pipes) {
            if (pipe.queue.empty()) continue;
            if (pipe.endpoint.type == TransferType::Isochronous)
                RunIsochronous(port, pipe, completions, bus.counters);
            else
                RunBulk(port, pipe, completions, bus.counters);
        }
    }
}

void HostControllerThread(UsbBus::State *bus) {
    auto next = std::chrono::steady_clock::now();
    std::vector<Completion> completions;
    for (;;) {
        next += bus->frame_period;
        std::this_thread::sleep_until(next);
        {
            std::lock_guard<std::mutex> lock(bus->mutex);
            if (bus->stop) break;
            RunFrame(*bus, completions);
            bus->completing = !completions.empty();
        }
        CompleteAll(completions);
        {
            std::lock_guard<std::mutex> lock(bus->mutex);
            bus->completing = false;
        }
        bus->frame_done.notify_all();
        // A machine that fell behind (a debugger, a loaded host) does not
        // try to catch up with a burst of frames.
        const auto now = std::chrono::steady_clock::now();
        if (now - next > 50 * bus->frame_period) next = now;
    }
}

}  // namespace tm350::usb::host
