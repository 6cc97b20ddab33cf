// Driver entry and unload, the per-camera device objects, and the counters
// every other part of the driver shares.
#include "driver/frame_read.h"

FRAME_READ_STATE g_FrameRead;

PVOID AllocatePool(SIZE_T bytes) { return ExAllocatePoolWithTag(NonPagedPool, bytes, VEXUSB_POOL_TAG); }

void FreePool(PVOID memory) {
    if (memory != NULL) ExFreePoolWithTag(memory, VEXUSB_POOL_TAG);
}

void IncrementIo(PDEVICE_EXTENSION extension) { InterlockedIncrement(&extension->OutstandingIo); }

void DecrementIo(PDEVICE_EXTENSION extension) {
    if (InterlockedDecrement(&extension->OutstandingIo) == 0)
        KeSetEvent(&extension->RemovalEvent, IO_NO_INCREMENT, FALSE);
}

bool EnterRequest(PDEVICE_EXTENSION extension) {
    IncrementIo(extension);
    if (!FlagSet(&extension->Removing) && !FlagSet(&extension->SurpriseRemoved)) return true;
    DecrementIo(extension);
    return false;
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool SecureForWriting(PIRP irp, PMDL data, HANDLE *secured) {
    *secured = NULL;
    if (irp->RequestorMode == KernelMode) return true;
    // Securing never raises, where a probe would need structured exception handling.
    *secured = MmSecureVirtualMemory(MmGetMdlVirtualAddress(data), MmGetMdlByteCount(data), PAGE_READWRITE);
    return *secured != NULL;
}

NTSTATUS CreateFrameReadState() {
    RtlZeroMemory(&g_FrameRead, sizeof(g_FrameRead));
    g_FrameRead.Records =
        static_cast<PFRAME_REQUEST_RECORD>(AllocatePool(FRAME_REQUEST_RECORDS * sizeof(FRAME_REQUEST_RECORD)));
    if (g_FrameRead.Records == NULL) return STATUS_NO_MEMORY;
    for (ULONG i = 0; i < FRAME_REQUEST_RECORDS; ++i) {
        RtlZeroMemory(&g_FrameRead.Records[i], sizeof(FRAME_REQUEST_RECORD));
        g_FrameRead.Records[i].Next = &g_FrameRead.Records[(i + 1) % FRAME_REQUEST_RECORDS];
    }
    g_FrameRead.NextFree = &g_FrameRead.Records[0];
    KeInitializeSemaphore(&g_FrameRead.Lock, 1, 4);
    KeInitializeEvent(&g_FrameRead.FrameDone, NotificationEvent, FALSE);
    KeInitializeSpinLock(&g_FrameRead.SpinLock);
    KeInitializeEvent(&g_FrameRead.SlotIdle, SynchronizationEvent, FALSE);
    KeInitializeEvent(&g_FrameRead.CancelDone, NotificationEvent, FALSE);
    for (ULONG i = 0; i < TRANSFER_SLOTS; ++i) {
        g_FrameRead.Slots[i].StagingBuffer = static_cast<PUCHAR>(AllocatePool(STAGING_BUFFER_BYTES));
        if (g_FrameRead.Slots[i].StagingBuffer == NULL) return STATUS_NO_MEMORY;
    }
    return STATUS_SUCCESS;
}

void FreeFrameReadState() {
    WaitForIdleSlots();
    FreePool(g_FrameRead.Records);
    g_FrameRead.Records = NULL;
    for (ULONG i = 0; i < TRANSFER_SLOTS; ++i) {
        FreePool(g_FrameRead.Slots[i].StagingBuffer);
        g_FrameRead.Slots[i].StagingBuffer = NULL;
    }
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    driver->DriverUnload = VexUnload;
    driver->DriverExtension->AddDevice = VexAddDevice;
    driver->MajorFunction[IRP_MJ_CREATE] = VexCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = VexClose;
    driver->MajorFunction[IRP_MJ_READ] = VexReadWrite;
    driver->MajorFunction[IRP_MJ_WRITE] = VexReadWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VexDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = VexDispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = VexDispatchPower;
    NTSTATUS status = CreateFrameReadState();
    // A driver whose entry fails is never unloaded, so what was allocated
    // before the failure is given back here.
    if (!NT_SUCCESS(status)) FreeFrameReadState();
    return status;
}

extern "C" VOID NTAPI VexUnload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
    FreeFrameReadState();
}

namespace {

// "\Device\tm350-0" or "\DosDevices\tm350-0" with the digit n.
void InstanceName(PWCHAR name, SIZE_T capacity, PCWSTR pattern, ULONG n) {
    SIZE_T length = 0;
    while (pattern[length] != 0 && length + 1 < capacity) {
        name[length] = pattern[length];
        ++length;
    }
    name[length] = 0;
    name[length - 1] = static_cast<WCHAR>(L'0' + n);
}

}  // namespace

extern "C" NTSTATUS NTAPI VexAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT device = NULL;
    for (ULONG n = 0; n < VEXUSB_MAX_INSTANCES; ++n) {
        WCHAR deviceNameText[20];
        InstanceName(deviceNameText, 20, L"\\Device\\tm350-0", n);
        UNICODE_STRING deviceName;
        RtlInitUnicodeString(&deviceName, deviceNameText);
        status = IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        if (!NT_SUCCESS(status)) continue;
        PDEVICE_EXTENSION extension = Extension(device);
        RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
        InstanceName(extension->LinkName, 20, L"\\DosDevices\\tm350-0", n);
        UNICODE_STRING linkName;
        RtlInitUnicodeString(&linkName, extension->LinkName);
        status = IoCreateSymbolicLink(&linkName, &deviceName);
        if (NT_SUCCESS(status)) {
            // Whatever happens to the device from now on, its removal deletes
            // the link, or the digit would never be given out again.
            extension->LinkMade = 1;
            break;
        }
        IoDeleteDevice(device);
        device = NULL;
    }
    if (device == NULL) return status;

    PDEVICE_EXTENSION extension = Extension(device);
    extension->Self = device;
    KeInitializeSpinLock(&extension->InterfaceLock);
    KeInitializeSpinLock(&extension->RequestLock);
    InitializeListHead(&extension->LowerRequests);
    KeInitializeSpinLock(&extension->IsoLock);
    InitializeListHead(&extension->IsoSets);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    extension->PhysicalDevice = physicalDevice;
    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
    if (extension->LowerDevice == NULL) {
        // Without a stack below there is nothing to send a request to.
        UNICODE_STRING linkName;
        RtlInitUnicodeString(&linkName, extension->LinkName);
        IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    extension->LastUsbStatus = 0;
    extension->OutstandingIo = 1;
    KeInitializeEvent(&extension->RemovalEvent, NotificationEvent, FALSE);
    return STATUS_SUCCESS;
}
