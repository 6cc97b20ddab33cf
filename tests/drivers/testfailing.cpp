// A driver for the loader's tests. What its DriverEntry does depends on
// TM350_TEST_DRIVER_MODE:
//   (unset)   fail with STATUS_NO_MEMORY after releasing what it took;
//   leak      fail, forgetting 32 bytes of pool tagged "Lost";
//   device    fail, leaving a device object behind;
//   resident  succeed without an unload routine.
#include <wdm.h>

#include <cstdlib>
#include <cstring>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    const char *mode = std::getenv("TM350_TEST_DRIVER_MODE");
    if (mode != nullptr && std::strcmp(mode, "resident") == 0) return STATUS_SUCCESS;
    if (mode != nullptr && std::strcmp(mode, "leak") == 0) {
        ExAllocatePoolWithTag(NonPagedPool, 32, 'L' | 'o' << 8 | 's' << 16 | 't' << 24);
        return STATUS_UNSUCCESSFUL;
    }
    if (mode != nullptr && std::strcmp(mode, "device") == 0) {
        PDEVICE_OBJECT device;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\TestFailing0");
        IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        return STATUS_UNSUCCESSFUL;
    }
    void *block = ExAllocatePoolWithTag(NonPagedPool, 16, 'T' | 'e' << 8 | 'm' << 16 | 'p' << 24);
    if (block != nullptr) ExFreePoolWithTag(block, 'T' | 'e' << 8 | 'm' << 16 | 'p' << 24);
    return STATUS_NO_MEMORY;
}
