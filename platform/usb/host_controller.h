// Inside the host controller: what its parts share. The bus driver
// (usb_bus.cpp) takes requests in; the transfer queues (transfer_queue.cpp)
// hold them and complete them; the frame clock (frame_clock.cpp) runs each
// bus frame, in which control (control_transfers.cpp), bulk
// (bulk_transfers.cpp) and isochronous (isochronous_transfers.cpp) transfers
// move; configuration.cpp selects configurations and settings and resets
// pipes and ports.
//
// Everything here runs under the bus lock (UsbBus::State::mutex) unless it
// says otherwise; IRPs are completed only after the lock is released.
#pragma once

#include <wdm.h>
#include <usb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/driver_loader.h"
#include "usb/usb_bus.h"
#include "usb/usb_device.h"
#include "usb/usb_log.h"

namespace tm350::usb::host {

// One request the host controller works on: a URB (or a port reset) and the
// IRP that carries it.
struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;  // null for a port reset
    ULONG done = 0;      // bytes (or isochronous packets) moved so far
    // The host controller has run it to its end, but a cancel routine took it
    // first and is on its way to complete it: no more transactions for it.
    bool ended = false;
};

struct Pipe {
    explicit Pipe(const EndpointInfo &info) : endpoint(info), packet(info.max_packet_size) {}

    EndpointInfo endpoint;
    bool halted = false;
    // An isochronous pipe's schedule: the frame after the last transfer
    // queued on it, where the next USBD_START_ISO_TRANSFER_ASAP transfer
    // starts. Unset on a new or reset pipe.
    bool scheduled = false;
    uint32_t next_frame = 0;
    std::deque<Transfer> queue;
    // Room for one IN packet, made once: the host controller reuses it for
    // every transaction instead of allocating per packet.
    std::vector<uint8_t> packet;
};

struct Port;

// The PDO's device extension.
struct PdoExtension {
    Port *port;
};

struct Port {
    UsbDevice *device = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    unsigned number = 0;
    bool plugged = true;
    std::vector<uint8_t> configuration;  // the whole configuration descriptor, read at enumeration
    uint8_t configuration_value = 0;     // selected, 0 when unconfigured
    std::map<uint8_t, uint8_t> alternate_settings;  // interface number -> selected setting, configured only
    uint32_t generation = 0;             // bumped by every selection; old pipe handles die with it
    std::vector<Pipe> pipes;
    std::deque<Transfer> control;  // requests that need endpoint 0, in order
    // Requests whose cancel routine is on its way (it waits for the bus
    // lock) when the host has to drop them from their queue: kept here so
    // the cancel routine still finds them.
    std::deque<Transfer> cancelling;
};

constexpr unsigned kMaxPorts = 127;
// Transactions per frame and pipe: a high-speed bulk endpoint moves at most
// 13 packets per microframe.
constexpr unsigned kBulkPacketsPerFrame = 104;
constexpr unsigned kMicroframesPerFrame = 8;

// The one bus of the process, or null.
extern UsbBus::State *g_bus;

// --- Pipe handles: generation, port and index, never a pointer, so a stale
// handle, or one of another device, is recognised instead of followed.
USBD_PIPE_HANDLE EncodePipe(const Port &port, size_t index);
Pipe *FindPipe(Port &port, USBD_PIPE_HANDLE handle);

Port *PortOf(PDEVICE_OBJECT pdo);
// A transfer's data: the buffer, else the MDL's system address, else null.
PUCHAR TransferData(PVOID buffer, PMDL mdl);

// --- Completion
struct Completion {
    PIRP irp;
    NTSTATUS status;
};

// The IRP status that goes with a USB status.
NTSTATUS StatusFor(USBD_STATUS usb);
// Finishes a transfer the host controller took off its queue: the URB's
// status and lengths are set here, the IRP is completed later, outside the
// bus lock.
void Finish(Transfer &transfer, USBD_STATUS usb, std::vector<Completion> &completions, BusCounters &counters);
// Sets the lengths of a request the host gives up on (cancelled, aborted,
// device gone) to what had moved: `done` bytes of a bulk or interrupt
// transfer, nothing of a control transfer, the packets so far of an
// isochronous one (the others report `usb` and no bytes).
void ReportUnfinished(PURB urb, ULONG done, USBD_STATUS usb);
// Finish for a request the host did not run to its end.
void Abandon(Transfer &transfer, USBD_STATUS usb, std::vector<Completion> &completions, BusCounters &counters);
// Completes the IRPs at DISPATCH_LEVEL; bus lock not held.
void CompleteAll(std::vector<Completion> &completions);

// --- Queues and cancel
bool Unqueue(Port &port, PIRP irp, Transfer *out);
bool Enqueue(std::deque<Transfer> &queue, Transfer transfer);
bool Claim(std::deque<Transfer> &queue);
void Drain(Port &port, std::deque<Transfer> &queue, USBD_STATUS status, std::vector<Completion> &completions,
           BusCounters &counters);
void FailPort(Port &port, USBD_STATUS status, std::vector<Completion> &completions, BusCounters &counters);
// Fails what the port had queued when its device left it.
void FailInFlight(Port &port, std::vector<Completion> &completions, BusCounters &counters);
// True when a transfer or request waits on the port, endpoint 0 included.
bool HasQueuedTransfers(const Port &port);

// --- Control transfers
struct ControlSpec {
    SetupPacket setup;
    PUCHAR data = nullptr;
    bool short_ok = true;
    bool too_long = false;  // a data stage beyond what wLength can say
};

// The SETUP packet a control URB stands for; false for a function that is
// not a control request.
bool ControlSetupOf(PURB urb, ControlSpec *spec);
USBD_STATUS RunControl(UsbDevice &device, const ControlSpec &spec, ULONG *moved);
ULONG *TransferLengthOf(PURB urb);
void RunControlQueue(Port &port, std::vector<Completion> &completions, BusCounters &counters);

// --- Configuration
const USB_INTERFACE_DESCRIPTOR *FindInterface(const std::vector<uint8_t> &configuration, uint8_t number,
                                              uint8_t alternate);
void RebuildPipes(Port &port, std::vector<Completion> &completions, BusCounters &counters);
USBD_STATUS FillInterface(Port &port, PUSBD_INTERFACE_INFORMATION information);
USBD_STATUS SelectConfiguration(Port &port, PURB urb, std::vector<Completion> &completions, BusCounters &counters);
USBD_STATUS SelectInterface(Port &port, PURB urb, std::vector<Completion> &completions, BusCounters &counters);
USBD_STATUS ResetPipe(Port &port, PURB urb);
USBD_STATUS ResetPort(Port &port);

// --- Data transfers
void RunBulk(Port &port, Pipe &pipe, std::vector<Completion> &completions, BusCounters &counters);
// Checks (no ASAP) or sets (ASAP) the start frame of a transfer about to be
// queued on `pipe`; `current_frame` is the frame that ran last.
USBD_STATUS ScheduleIsochronous(Pipe &pipe, struct _URB_ISOCH_TRANSFER &request, uint32_t current_frame);
void RunIsochronous(Port &port, Pipe &pipe, std::vector<Completion> &completions, BusCounters &counters);
bool IsochronousLayoutValid(const struct _URB_ISOCH_TRANSFER &request);

// --- The frame clock
void RunFrame(UsbBus::State &bus, std::vector<Completion> &completions);
void HostControllerThread(UsbBus::State *bus);

}  // namespace tm350::usb::host

namespace tm350::usb {

struct UsbBus::State {
    std::chrono::nanoseconds frame_period;
    std::unique_ptr<ntos::Driver> driver;
    mutable std::mutex mutex;  // guards everything below; never held while completing
    std::condition_variable frame_done;
    std::list<std::unique_ptr<host::Port>> ports;
    std::atomic<uint32_t> frame{0};
    BusCounters counters;
    bool stop = false;
    // The host controller thread is completing what its last frame finished
    // (outside the lock); frame_done is signalled when it is through.
    bool completing = false;
    std::thread thread;
    unsigned next_pdo = 0;
    // Port numbers handed out to devices still being enumerated, so that two
    // plugs at once never share an address.
    std::vector<unsigned> enumerating;
};

}  // namespace tm350::usb
