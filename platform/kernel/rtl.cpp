// Runtime library: counted strings, debug output and the NTSTATUS to
// Win32 error mapping.
#include "kernel/system_calls.h"
#include "kernel/verifier.h"

#include "common/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace tm350::ntos {
namespace {

constexpr USHORT kMaximumStringBytes = 0xfffe;

std::u16string_view ViewOf(const UNICODE_STRING *string) {
    if (string == nullptr || string->Buffer == nullptr) return {};
    return std::u16string_view(reinterpret_cast<const char16_t *>(string->Buffer), string->Length / sizeof(WCHAR));
}

// printf with the kernel's wide conversions: %wZ takes a PUNICODE_STRING,
// %ws, %S and %ls a null-terminated WCHAR string. Each conversion is
// handed to vsnprintf on its own, so the argument types stay right.
std::string FormatDebugText(const char *format, va_list arguments) {
    std::string out;
    for (const char *p = format; *p != '\0';) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char *start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string spec(1, '%');
        while (*p != '\0' && std::strchr("-+ #0123456789.*", *p) != nullptr) {
            if (*p == '*') {
                spec += std::to_string(va_arg(arguments, int));
            } else {
                spec += *p;
            }
            ++p;
        }
        bool wide = false;
        bool counted = false;
        if (p[0] == 'w' && p[1] == 'Z') {
            counted = true;
            p += 2;
        } else if ((p[0] == 'w' || p[0] == 'l') && p[1] == 's') {
            wide = true;
            p += 2;
        } else if (p[0] == 'S') {
            wide = true;
            p += 1;
        }
        if (counted || wide) {
            std::u16string_view text = counted ? ViewOf(va_arg(arguments, PUNICODE_STRING))
                                               : tm350::text::View(va_arg(arguments, LPCWSTR));
            std::string utf8 = tm350::text::Utf16ToUtf8(text);
            char piece[2048];
            std::snprintf(piece, sizeof piece, (spec + "s").c_str(), utf8.c_str());
            out += piece;
            continue;
        }
        std::string length;
        while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) length += *p++;
        if (*p == '\0') {
            out += start;
            break;
        }
        char conversion = *p++;
        spec += length;
        spec += conversion;
        char piece[512];
        switch (conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'c':
            if (length == "ll" || length == "q" || length == "j") {
                std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(arguments, long long));
            } else if (length == "l" || length == "z" || length == "t") {
                std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(arguments, long));
            } else {
                std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(arguments, int));
            }
            break;
        case 'e':
        case 'f':
        case 'g':
        case 'E':
        case 'G':
            std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(arguments, double));
            break;
        case 's':
        case 'p':
            std::snprintf(piece, sizeof piece, spec.c_str(), va_arg(arguments, void *));
            break;
        default:
            std::snprintf(piece, sizeof piece, "%s", spec.c_str());
            break;
        }
        out += piece;
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace
}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = tm350::text::Length(SourceString) * sizeof(WCHAR);
    // Longer strings are cut to what a UNICODE_STRING can count.
    if (bytes > kMaximumStringBytes - sizeof(WCHAR)) bytes = kMaximumStringBytes - sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    bytes &= ~1;
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = UNICODE_NULL;
    }
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    std::u16string_view a = ViewOf(String1);
    std::u16string_view b = ViewOf(String2);
    size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        char16_t x = CaseInSensitive ? tm350::text::FoldCase(a[i]) : a[i];
        char16_t y = CaseInSensitive ? tm350::text::FoldCase(b[i]) : b[i];
        if (x != y) return static_cast<LONG>(x) - static_cast<LONG>(y);
    }
    return static_cast<LONG>(a.size()) - static_cast<LONG>(b.size());
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char *>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = UNICODE_NULL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    if (!LoggingEnabled()) return STATUS_SUCCESS;
    va_list arguments;
    va_start(arguments, Format);
    std::string text = FormatDebugText(Format, arguments);
    va_end(arguments);
    Log("DbgPrint: %s", text.c_str());
    return STATUS_SUCCESS;
}

ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) {
    switch (Status) {
    case STATUS_SUCCESS:
        return ERROR_SUCCESS;
    case STATUS_PENDING:
        return ERROR_IO_PENDING;
    case STATUS_TIMEOUT:
        return WAIT_TIMEOUT;
    case STATUS_BUFFER_OVERFLOW:
    case STATUS_MORE_PROCESSING_REQUIRED:
        return ERROR_MORE_DATA;
    case STATUS_NO_MORE_ENTRIES:
        return ERROR_NO_MORE_ITEMS;
    case STATUS_DEVICE_POWERED_OFF:
    case STATUS_DEVICE_NOT_READY:
        return ERROR_NOT_READY;
    case STATUS_DEVICE_BUSY:
        return ERROR_BUSY;
    case STATUS_UNSUCCESSFUL:
        return ERROR_GEN_FAILURE;
    case STATUS_NOT_IMPLEMENTED:
    case STATUS_INVALID_DEVICE_REQUEST:
        return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_INFO_CLASS:
    case STATUS_INVALID_PARAMETER:
    case STATUS_INVALID_PARAMETER_1:
    case STATUS_INVALID_PARAMETER_2:
        return ERROR_INVALID_PARAMETER;
    case STATUS_INFO_LENGTH_MISMATCH:
        return ERROR_BAD_LENGTH;
    case STATUS_ACCESS_VIOLATION:
        return ERROR_NOACCESS;
    case STATUS_INVALID_HANDLE:
        return ERROR_INVALID_HANDLE;
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_END_OF_FILE:
        return ERROR_HANDLE_EOF;
    case STATUS_NO_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_ACCESS_DENIED:
    case STATUS_DELETE_PENDING:
        return ERROR_ACCESS_DENIED;
    case STATUS_BUFFER_TOO_SMALL:
        return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_OBJECT_NAME_INVALID:
        return ERROR_INVALID_NAME;
    case STATUS_OBJECT_NAME_COLLISION:
        return ERROR_ALREADY_EXISTS;
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return ERROR_PATH_NOT_FOUND;
    case STATUS_OBJECT_PATH_SYNTAX_BAD:
        return ERROR_BAD_PATHNAME;
    case STATUS_SHARING_VIOLATION:
        return ERROR_SHARING_VIOLATION;
    case STATUS_INSUFFICIENT_RESOURCES:
        return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_DEVICE_DATA_ERROR:
        return ERROR_CRC;
    case STATUS_DEVICE_NOT_CONNECTED:
        return ERROR_DEVICE_NOT_CONNECTED;
    case STATUS_IO_TIMEOUT:
        return ERROR_SEM_TIMEOUT;
    case STATUS_NOT_SUPPORTED:
        return ERROR_NOT_SUPPORTED;
    case STATUS_CANCELLED:
        return ERROR_OPERATION_ABORTED;
    case STATUS_INVALID_DEVICE_STATE:
        return ERROR_BAD_COMMAND;
    case STATUS_DEVICE_DOES_NOT_EXIST:
        return ERROR_DEV_NOT_EXIST;
    case STATUS_INVALID_USER_BUFFER:
        return ERROR_INVALID_USER_BUFFER;
    case STATUS_DEVICE_REMOVED:
        return ERROR_DEVICE_REMOVED;
    case STATUS_NOT_FOUND:
        return ERROR_NOT_FOUND;
    default:
        break;
    }
    // A Win32 error carried in an NTSTATUS (facility 7) maps to itself.
    if ((static_cast<ULONG>(Status) & 0xffff0000u) == 0xc0070000u) return static_cast<ULONG>(Status) & 0xffff;
    return ERROR_MR_MID_NOT_FOUND;
}

}  // extern "C"
