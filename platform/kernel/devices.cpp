// Device objects, the object namespace and device stacks.
//
// The namespace has three directories: "\Device" for device objects,
// "\??" for symbolic links (also spelled "\DosDevices" and "\GLOBAL??"),
// and "\Driver" for driver objects. Names compare without regard to case.
// A symbolic link holds its target's name, not the device, so a link that
// outlives its device simply resolves to nothing.
#include "kernel/devices.h"

#include "kernel/irp_internal.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"

#include "common/text.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace tm350::ntos {

namespace {

const ULONG kDeviceTag = MakeTag("Devi");

struct DeviceRecord {
    DEVOBJ_EXTENSION extension{};
    long references = 1;                 // the creator's, until IoDeleteDevice
    bool deleted = false;
    DEVICE_OBJECT *attached_to = nullptr;  // the device this one sits on
    std::u16string name;                 // as given, for messages; empty when unnamed
    std::u16string key;                  // the namespace key
    POWER_STATE system_state{};
    POWER_STATE device_state{};
    bool removal_pending = false;         // opens refused (the whole stack is marked)
    std::function<void()> when_closed;    // on a PDO: what runs after the stack's last close
};

struct NameEntry {
    enum class Kind { Device, Link, Driver } kind;
    DEVICE_OBJECT *device = nullptr;  // Kind::Device
    std::u16string target;            // Kind::Link
};

struct IoDatabase {
    std::mutex mutex;
    std::unordered_map<const DEVICE_OBJECT *, std::unique_ptr<DeviceRecord>> devices;
    std::map<std::u16string, NameEntry> names;  // by folded canonical name
    unsigned next_generated_name = 1;
};

IoDatabase &Database() {
    static auto *database = new IoDatabase;
    return *database;
}

DeviceRecord &RecordOf(IoDatabase &database, const DEVICE_OBJECT *device, const char *routine) {
    auto found = database.devices.find(device);
    if (found == database.devices.end()) {
        VerifierFailure("%s(%p): not a device object", routine, static_cast<const void *>(device));
    }
    return *found->second;
}

std::u16string_view ViewOf(const UNICODE_STRING &string) {
    return std::u16string_view(reinterpret_cast<const char16_t *>(string.Buffer), string.Length / sizeof(WCHAR));
}

std::string Narrow(std::u16string_view text) { return tm350::text::Utf16ToUtf8(text); }

// An object path split into its directory ("\Device", "\??", "\Driver"),
// the object's name in it and whatever follows ("\rest", or empty).
struct ParsedPath {
    std::u16string directory;
    std::u16string_view name;
    std::u16string_view rest;
};

NTSTATUS ParsePath(std::u16string_view path, ParsedPath *parsed) {
    if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    path.remove_prefix(1);
    size_t end = path.find(u'\\');
    if (end == std::u16string_view::npos) return STATUS_OBJECT_PATH_NOT_FOUND;
    using tm350::text::EqualsIgnoringCase;
    std::u16string_view directory = path.substr(0, end);
    if (EqualsIgnoringCase(directory, u"Device")) {
        parsed->directory = u"\\Device";
    } else if (directory == u"??" || EqualsIgnoringCase(directory, u"DosDevices") ||
               EqualsIgnoringCase(directory, u"GLOBAL??")) {
        parsed->directory = u"\\??";
    } else if (EqualsIgnoringCase(directory, u"Driver")) {
        parsed->directory = u"\\Driver";
    } else {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    path.remove_prefix(end + 1);
    end = path.find(u'\\');
    parsed->name = path.substr(0, end);
    parsed->rest = end == std::u16string_view::npos ? std::u16string_view() : path.substr(end);
    if (parsed->name.empty()) return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

std::u16string KeyOf(const ParsedPath &parsed) {
    return tm350::text::FoldCase(parsed.directory) + u"\\" + tm350::text::FoldCase(parsed.name);
}

// The key for a new object's name: exactly a directory and a name.
NTSTATUS NewObjectKey(std::u16string_view name, std::u16string *key) {
    ParsedPath parsed;
    NTSTATUS status = ParsePath(name, &parsed);
    if (!NT_SUCCESS(status)) return status;
    if (!parsed.rest.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
    *key = KeyOf(parsed);
    return STATUS_SUCCESS;
}

NTSTATUS CheckedView(const UNICODE_STRING *string, std::u16string_view *view) {
    if (string == nullptr || string->Buffer == nullptr || string->Length == 0 || string->Length % 2 != 0 ||
        string->Length > string->MaximumLength) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    *view = ViewOf(*string);
    return STATUS_SUCCESS;
}

void UnlinkFromDriver(DEVICE_OBJECT *device) {
    PDEVICE_OBJECT *link = &device->DriverObject->DeviceObject;
    while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
    if (*link == device) *link = device->NextDevice;
    device->NextDevice = nullptr;
}

DEVICE_OBJECT *TopOf(DEVICE_OBJECT *device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

DEVICE_OBJECT *BottomOf(IoDatabase &database, DEVICE_OBJECT *device) {
    for (;;) {
        DeviceRecord &record = RecordOf(database, device, "IoGetDeviceAttachmentBaseRef");
        if (record.attached_to == nullptr) return device;
        device = record.attached_to;
    }
}

long OpenFilesLocked(DEVICE_OBJECT *physical_device) {
    long open = 0;
    for (DEVICE_OBJECT *device = physical_device; device != nullptr; device = device->AttachedDevice)
        open += device->ReferenceCount;
    return open;
}

// Drops one reference; the caller frees what this returns outside the lock.
std::unique_ptr<DeviceRecord> DropReference(IoDatabase &database, DEVICE_OBJECT *device) {
    DeviceRecord &record = RecordOf(database, device, "ObDereferenceObject");
    if (--record.references > 0) return nullptr;
    auto found = database.devices.find(device);
    std::unique_ptr<DeviceRecord> dead = std::move(found->second);
    database.devices.erase(found);
    return dead;
}

void FreeDevice(DEVICE_OBJECT *device, std::unique_ptr<DeviceRecord> record) {
    if (record == nullptr) return;
    Log("device object %s freed", Narrow(record->name).c_str());
    FreePool(device, kDeviceTag, "IoDeleteDevice");
}

}  // namespace

bool IsDeviceObject(const DEVICE_OBJECT *device) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    return database.devices.count(device) != 0;
}

void ReferenceDevice(DEVICE_OBJECT *device) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    ++RecordOf(database, device, "ObReferenceObject").references;
}

void DereferenceDevice(DEVICE_OBJECT *device) {
    IoDatabase &database = Database();
    std::unique_ptr<DeviceRecord> dead;
    {
        std::lock_guard lock(database.mutex);
        dead = DropReference(database, device);
    }
    FreeDevice(device, std::move(dead));
}

DEVICE_OBJECT *ReferenceAttachedTop(DEVICE_OBJECT *device) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    DEVICE_OBJECT *top = TopOf(device);
    ++RecordOf(database, top, "IoGetAttachedDeviceReference").references;
    return top;
}

std::string DeviceNameOf(const DEVICE_OBJECT *device) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    auto found = database.devices.find(device);
    if (found == database.devices.end() || found->second->name.empty()) return "(unnamed)";
    return Narrow(found->second->name);
}

NTSTATUS ReferenceDeviceByPath(std::u16string_view path, DEVICE_OBJECT **device, std::u16string *remainder) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    std::u16string current(path);
    for (int depth = 0; depth < 32; ++depth) {
        ParsedPath parsed;
        NTSTATUS status = ParsePath(current, &parsed);
        if (!NT_SUCCESS(status)) return status;
        auto found = database.names.find(KeyOf(parsed));
        if (found == database.names.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        const NameEntry &entry = found->second;
        if (entry.kind == NameEntry::Kind::Link) {
            current = entry.target + std::u16string(parsed.rest);
            continue;
        }
        if (entry.kind != NameEntry::Kind::Device) return STATUS_OBJECT_NAME_INVALID;
        ++RecordOf(database, entry.device, "ObReferenceObjectByName").references;
        *device = entry.device;
        *remainder = std::u16string(parsed.rest);
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;  // a loop of links
}

NTSTATUS InsertDriverName(std::u16string_view name) {
    std::u16string key;
    NTSTATUS status = NewObjectKey(name, &key);
    if (!NT_SUCCESS(status)) return status;
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    if (!database.names.emplace(key, NameEntry{NameEntry::Kind::Driver, nullptr, {}}).second) return STATUS_IMAGE_ALREADY_LOADED;
    return STATUS_SUCCESS;
}

void RemoveDriverName(std::u16string_view name) {
    std::u16string key;
    if (!NT_SUCCESS(NewObjectKey(name, &key))) return;
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    database.names.erase(key);
}

DriverDevices DevicesOf(const DRIVER_OBJECT *driver) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    DriverDevices result;
    for (const auto &[device, record] : database.devices) {
        if (device->DriverObject != driver) continue;
        std::string name = record->name.empty() ? "(unnamed)" : Narrow(record->name);
        (record->deleted ? result.still_referenced : result.present).push_back(name);
    }
    return result;
}

void FinishDeviceInitialization(DRIVER_OBJECT *driver) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    for (DEVICE_OBJECT *device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
}

NTSTATUS BeginOpen(DEVICE_OBJECT *device) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    DeviceRecord &record = RecordOf(database, device, "IoCreateFile");
    if (record.deleted) return STATUS_DELETE_PENDING;
    if (record.removal_pending) return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_EXCLUSIVE) != 0 && device->ReferenceCount > 0) return STATUS_ACCESS_DENIED;
    ++device->ReferenceCount;
    return STATUS_SUCCESS;
}

void EndOpen(DEVICE_OBJECT *device) {
    IoDatabase &database = Database();
    std::function<void()> action;
    {
        std::lock_guard lock(database.mutex);
        --device->ReferenceCount;
        DEVICE_OBJECT *bottom = BottomOf(database, device);
        DeviceRecord &base = RecordOf(database, bottom, "IoCreateFile");
        if (base.when_closed && OpenFilesLocked(bottom) == 0) {
            action = std::move(base.when_closed);
            base.when_closed = nullptr;
        }
    }
    if (action) action();
}

void SetStackRemovalPending(DEVICE_OBJECT *physical_device, bool pending) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    for (DEVICE_OBJECT *device = physical_device; device != nullptr; device = device->AttachedDevice)
        RecordOf(database, device, "IoInvalidateDeviceState").removal_pending = pending;
}

long OpenFilesOnStack(DEVICE_OBJECT *physical_device) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    return OpenFilesLocked(physical_device);
}

void WhenStackClosed(DEVICE_OBJECT *physical_device, std::function<void()> action) {
    IoDatabase &database = Database();
    {
        std::lock_guard lock(database.mutex);
        if (OpenFilesLocked(physical_device) > 0) {
            RecordOf(database, physical_device, "IoInvalidateDeviceState").when_closed = std::move(action);
            return;
        }
    }
    action();
}

DEVICE_POWER_STATE DevicePowerStateOf(DEVICE_OBJECT *device) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    return RecordOf(database, device, "PoGetDevicePowerState").device_state.DeviceState;
}

POWER_STATE SetDevicePowerState(DEVICE_OBJECT *device, POWER_STATE_TYPE type, POWER_STATE state) {
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    DeviceRecord &record = RecordOf(database, device, "PoSetPowerState");
    POWER_STATE &slot = type == SystemPowerState ? record.system_state : record.device_state;
    POWER_STATE previous = slot;
    slot = state;
    return previous;
}

}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    if (DriverObject == nullptr || DriverObject->Type != kIoTypeDriver) {
        VerifierFailure("IoCreateDevice with %p, which is not a driver object", static_cast<void *>(DriverObject));
    }
    *DeviceObject = nullptr;
    IoDatabase &database = Database();
    std::u16string name;
    if ((DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0) {
        char generated[32];
        {
            std::lock_guard lock(database.mutex);
            std::snprintf(generated, sizeof generated, "\\Device\\%08x", database.next_generated_name++);
        }
        name = tm350::text::Utf8ToUtf16(generated);
    } else if (DeviceName != nullptr && DeviceName->Length > 0) {
        std::u16string_view view;
        NTSTATUS status = CheckedView(DeviceName, &view);
        if (!NT_SUCCESS(status)) return status;
        name = view;
    }
    std::u16string key;
    if (!name.empty()) {
        NTSTATUS status = NewObjectKey(name, &key);
        if (!NT_SUCCESS(status)) return status;
    }

    // The extension follows the device object, aligned for any type.
    const size_t object_size = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    auto *memory = static_cast<char *>(
        AllocatePool(NonPagedPool, object_size + DeviceExtensionSize, kDeviceTag, nullptr, "IoCreateDevice"));
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(memory, 0, object_size + DeviceExtensionSize);
    auto *device = reinterpret_cast<DEVICE_OBJECT *>(memory);
    device->Type = kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    device->DeviceExtension = DeviceExtensionSize > 0 ? memory + object_size : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);

    auto record = std::make_unique<DeviceRecord>();
    record->extension.Type = 13;  // the I/O manager's device-object-extension type
    record->extension.Size = sizeof(DEVOBJ_EXTENSION);
    record->extension.DeviceObject = device;
    record->name = name;
    record->key = key;
    record->system_state.SystemState = PowerSystemWorking;
    record->device_state.DeviceState = PowerDeviceD0;
    device->DeviceObjectExtension = &record->extension;
    {
        std::lock_guard lock(database.mutex);
        if (!key.empty() && !database.names.emplace(key, NameEntry{NameEntry::Kind::Device, device, {}}).second) {
            FreePool(memory, kDeviceTag, "IoCreateDevice");
            Log("IoCreateDevice(%s): name collision", Narrow(name).c_str());
            return STATUS_OBJECT_NAME_COLLISION;
        }
        database.devices[device] = std::move(record);
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    Log("IoCreateDevice(%s) = %p", name.empty() ? "(unnamed)" : Narrow(name).c_str(), static_cast<void *>(device));
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    IoDatabase &database = Database();
    std::unique_ptr<DeviceRecord> dead;
    {
        std::lock_guard lock(database.mutex);
        DeviceRecord &record = RecordOf(database, DeviceObject, "IoDeleteDevice");
        std::string name = record.name.empty() ? "(unnamed)" : Narrow(record.name);
        if (record.deleted) VerifierFailure("IoDeleteDevice(%s) on a device deleted before", name.c_str());
        if (record.attached_to != nullptr) {
            VerifierFailure("IoDeleteDevice(%s) while it is attached to a lower device (IoDetachDevice first)",
                            name.c_str());
        }
        if (DeviceObject->AttachedDevice != nullptr) {
            Log("IoDeleteDevice(%s) while a device is still attached above it", name.c_str());
        }
        if (!record.key.empty()) database.names.erase(record.key);
        UnlinkFromDriver(DeviceObject);
        record.deleted = true;
        Log("IoDeleteDevice(%s)", name.c_str());
        dead = DropReference(database, DeviceObject);
    }
    FreeDevice(DeviceObject, std::move(dead));
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::u16string_view link;
    std::u16string_view target;
    std::u16string key;
    NTSTATUS status = CheckedView(SymbolicLinkName, &link);
    if (NT_SUCCESS(status)) status = CheckedView(DeviceName, &target);
    if (NT_SUCCESS(status)) status = NewObjectKey(link, &key);
    if (!NT_SUCCESS(status)) return status;
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    if (!database.names.emplace(key, NameEntry{NameEntry::Kind::Link, nullptr, std::u16string(target)}).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    Log("IoCreateSymbolicLink(%s -> %s)", Narrow(link).c_str(), Narrow(target).c_str());
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::u16string_view link;
    std::u16string key;
    NTSTATUS status = CheckedView(SymbolicLinkName, &link);
    if (NT_SUCCESS(status)) status = NewObjectKey(link, &key);
    if (!NT_SUCCESS(status)) return status;
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    auto found = database.names.find(key);
    if (found == database.names.end() || found->second.kind != NameEntry::Kind::Link) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    database.names.erase(found);
    Log("IoDeleteSymbolicLink(%s)", Narrow(link).c_str());
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack");
    IoDatabase &database = Database();
    std::lock_guard lock(database.mutex);
    DeviceRecord &source = RecordOf(database, SourceDevice, "IoAttachDeviceToDeviceStack");
    RecordOf(database, TargetDevice, "IoAttachDeviceToDeviceStack");
    if (source.attached_to != nullptr) {
        VerifierFailure("IoAttachDeviceToDeviceStack: device %p is already attached to a stack",
                        static_cast<void *>(SourceDevice));
    }
    DEVICE_OBJECT *top = TopOf(TargetDevice);
    DeviceRecord &lower = RecordOf(database, top, "IoAttachDeviceToDeviceStack");
    if (lower.deleted || top == SourceDevice) return nullptr;
    top->AttachedDevice = SourceDevice;
    source.attached_to = top;
    ++lower.references;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement) {
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    }
    if (SourceDevice->SectorSize == 0) SourceDevice->SectorSize = top->SectorSize;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoDetachDevice");
    IoDatabase &database = Database();
    std::unique_ptr<DeviceRecord> dead;
    {
        std::lock_guard lock(database.mutex);
        RecordOf(database, TargetDevice, "IoDetachDevice");
        DEVICE_OBJECT *upper = TargetDevice->AttachedDevice;
        if (upper == nullptr) {
            VerifierFailure("IoDetachDevice(%p): no device is attached to it", static_cast<void *>(TargetDevice));
        }
        RecordOf(database, upper, "IoDetachDevice").attached_to = nullptr;
        TargetDevice->AttachedDevice = nullptr;
        dead = DropReference(database, TargetDevice);
    }
    FreeDevice(TargetDevice, std::move(dead));
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
    return SetDevicePowerState(DeviceObject, Type, State);
}

}  // extern "C"
