#include "kernel/verifier.h"

#include "common/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace tm350::ntos {

void VerifierFailure(const char *format, ...) {
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    // One write, so that the line stays whole when other threads print.
    std::fprintf(stderr, "tm350 verifier: %s\n", message);
    std::fflush(stderr);
    std::abort();
}

void RequireIrqlAtMost(KIRQL level, const char *routine) {
    KIRQL current = KeGetCurrentIrql();
    if (current > level) {
        VerifierFailure("%s called at IRQL %u; it may run at IRQL %u at most", routine, current, level);
    }
}

void Log(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    tm350::log::Write("ntoskrnl", format, arguments);
    va_end(arguments);
}

bool LoggingEnabled() { return tm350::log::Enabled(); }

TagText FormatTag(ULONG tag) {
    TagText result{};
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xff);
        result.text[i] = (c >= 0x20 && c < 0x7f) ? c : '.';
    }
    return result;
}

const char *MajorFunctionName(UCHAR major) {
    static const char *const names[] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP",
    };
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_(invalid)";
}

}  // namespace tm350::ntos

extern "C" VOID NTAPI Tm350VerifyPagedCode(PCSTR Function) {
    KIRQL current = KeGetCurrentIrql();
    if (current > APC_LEVEL) {
        tm350::ntos::VerifierFailure("pageable code %s runs at IRQL %u (PAGED_CODE allows APC_LEVEL at most)",
                                     Function != nullptr ? Function : "?", current);
    }
}
