#include "usb/usb_test_support.h"

#include <cstring>

#include "kernel/pnp_manager.h"

namespace usb_test {

UsbBus &Bus() {
    static UsbBus *bus = new UsbBus(tm350::usb::FrameTiming::Fast);
    return *bus;
}

namespace {

LARGE_INTEGER Relative(LONGLONG milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10000 * milliseconds;
    return interval;
}

// At the end of the program the bus stops; it refuses to if a test left a
// device on a port.
class BusEnvironment : public ::testing::Environment {
public:
    void TearDown() override { delete &Bus(); }
};

[[maybe_unused]] ::testing::Environment *const g_environment =
    ::testing::AddGlobalTestEnvironment(new BusEnvironment);

}  // namespace

UrbRequest::UrbRequest(PDEVICE_OBJECT pdo, PURB urb, ULONG code) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
    returned_ = IoCallDriver(pdo, irp_);
}

UrbRequest::~UrbRequest() {
    if (!Completed()) IoCancelIrp(irp_);
    EXPECT_TRUE(Wait()) << "a request did not complete after IoCancelIrp";
    EXPECT_EQ(completions_, 1);
    IoFreeIrp(irp_);
}

NTSTATUS NTAPI UrbRequest::OnComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto *self = static_cast<UrbRequest *>(context);
    ++self->completions_;
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    // The IRP is the test's: it is freed by the destructor, not by the I/O manager.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool UrbRequest::Wait(LONGLONG milliseconds) {
    LARGE_INTEGER timeout = Relative(milliseconds);
    return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

NTSTATUS SubmitAndWait(PDEVICE_OBJECT pdo, PURB urb, ULONG code) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io_status{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &io_status);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout = Relative(kWaitMilliseconds);
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) {
            ADD_FAILURE() << "a request did not complete in time";
            return STATUS_TIMEOUT;
        }
        status = io_status.Status;
    }
    return status;
}

URB BulkUrb(USBD_PIPE_HANDLE pipe, void *buffer, ULONG length, ULONG flags) {
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                           nullptr, length, flags, nullptr);
    return urb;
}

URB VendorUrb(bool in, UCHAR request, USHORT value, USHORT index, void *buffer, ULONG length) {
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          (in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) | USBD_SHORT_TRANSFER_OK, 0,
                          request, value, index, buffer, nullptr, length, nullptr);
    return urb;
}

URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Function = function;
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

IsochronousRequest IsochronousUrb(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packet_bytes) {
    IsochronousRequest request;
    request.storage.assign(GET_ISO_URB_SIZE(packets), 0);
    request.data.assign(packets * packet_bytes, 0xEE);
    auto &iso = request.urb()->UrbIsochronousTransfer;
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.Hdr.Length = static_cast<USHORT>(request.storage.size());
    iso.PipeHandle = pipe;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = request.data.data();
    iso.TransferBufferLength = static_cast<ULONG>(request.data.size());
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) iso.IsoPacket[i].Offset = i * packet_bytes;
    return request;
}

void DeviceTap::SetInHook(InHook hook) {
    std::lock_guard<std::mutex> lock(hook_mutex_);
    hook_ = std::move(hook);
}

tm350::usb::PacketResult DeviceTap::InPacket(uint8_t endpoint_address, std::span<uint8_t> room) {
    const tm350::usb::PacketResult result = camera_.InPacket(endpoint_address, room);
    std::lock_guard<std::mutex> lock(hook_mutex_);
    if (hook_ && result.handshake == tm350::usb::Handshake::Ack) hook_(endpoint_address, result);
    return result;
}

void CameraTest::SetUp() {
    pdo_ = Bus().Plug(device_);
    ASSERT_NE(pdo_, nullptr);
    configuration_ = ConfigurationDescriptor();
    ASSERT_GE(configuration_.size(), sizeof(USB_CONFIGURATION_DESCRIPTOR));
}

void CameraTest::TearDown() {
    device_.SetInHook(nullptr);
    UnplugAndRemove();
}

void CameraTest::UnplugAndRemove() {
    if (pdo_ == nullptr) return;
    camera_.SetAttached(false);
    Bus().Unplug(pdo_);
    tm350::ntos::RemoveDevice(pdo_, tm350::ntos::Removal::Surprise);
    pdo_ = nullptr;
}

std::vector<uint8_t> CameraTest::ConfigurationDescriptor() {
    std::vector<uint8_t> bytes(1024);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                 0, 0, bytes.data(), nullptr, static_cast<ULONG>(bytes.size()), nullptr);
    if (SubmitAndWait(pdo_, &urb) != STATUS_SUCCESS) return {};
    bytes.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
    return bytes;
}

NTSTATUS CameraTest::SelectConfiguration(UCHAR alternate_setting) {
    auto *configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, alternate_setting, -1, -1, -1);
    if (list[0].InterfaceDescriptor == nullptr) return STATUS_NOT_FOUND;
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    const NTSTATUS status = SubmitAndWait(pdo_, urb);
    if (NT_SUCCESS(status)) {
        configuration_handle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        const auto *bytes = reinterpret_cast<const uint8_t *>(list[0].Interface);
        interface_.assign(bytes, bytes + list[0].Interface->Length);
    }
    ExFreePool(urb);
    return status;
}

void CameraTest::StartStreaming() {
    URB urb = VendorUrb(false, static_cast<UCHAR>(tm350::sim::VendorRequest::ControlWord),
                        tm350::sim::kControlWordStream, tm350::sim::kControlWordIndex, nullptr, 0);
    ASSERT_EQ(SubmitAndWait(pdo_, &urb), STATUS_SUCCESS);
    ASSERT_TRUE(camera_.Streaming());
}

}  // namespace usb_test
