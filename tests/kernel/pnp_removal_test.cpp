// Removal as the PnP manager orders it, seen by a function device on a
// physical device: which requests arrive, in which order, and what opens
// get meanwhile.
#include "kernel/kernel_test_support.h"

#include "platform/kernel/pnp_manager.h"
#include "platform/kernel/system_calls.h"

#include <mutex>
#include <string>
#include <vector>

namespace tm350::test {
namespace {

using tm350::ntos::Removal;
namespace syscall = tm350::ntos::syscall;

std::string NameOf(const IO_STACK_LOCATION &stack) {
    switch (stack.MajorFunction) {
    case IRP_MJ_CREATE: return "create";
    case IRP_MJ_CLEANUP: return "cleanup";
    case IRP_MJ_CLOSE: return "close";
    case IRP_MJ_PNP:
        switch (stack.MinorFunction) {
        case IRP_MN_QUERY_REMOVE_DEVICE: return "query-remove";
        case IRP_MN_CANCEL_REMOVE_DEVICE: return "cancel-remove";
        case IRP_MN_REMOVE_DEVICE: return "remove";
        case IRP_MN_SURPRISE_REMOVAL: return "surprise-removal";
        default: return "pnp";
        }
    default: return "other";
    }
}

// A physical device that succeeds everything and a function device on it
// that notes what reaches it and passes plug-and-play requests down.
class RemovalStack : public ::testing::Test {
protected:
    void SetUp() override {
        pdo_ = driver_.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
        fdo_ = driver_.AddDevice(
            [this](PDEVICE_OBJECT, PIRP irp) {
                const IO_STACK_LOCATION &stack = *IoGetCurrentIrpStackLocation(irp);
                {
                    std::lock_guard lock(mutex_);
                    journal_.push_back(NameOf(stack));
                }
                if (stack.MajorFunction != IRP_MJ_PNP) return CompleteWith(irp, STATUS_SUCCESS);
                EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);  // as the PnP manager sends it
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(pdo_, irp);
            },
            L"\\Device\\RemovalTest");
        ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo_, pdo_), pdo_);
    }

    static NTSTATUS Open(syscall::File **file) {
        syscall::OpenRequest request;
        request.path = u"\\Device\\RemovalTest";
        return syscall::OpenFile(request, file);
    }

    std::vector<std::string> Journal() {
        std::lock_guard lock(mutex_);
        return journal_;
    }

    BuiltinDriver driver_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::mutex mutex_;
    std::vector<std::string> journal_;
};

TEST_F(RemovalStack, ASurpriseRemovalSendsTheRemoveRequestAfterTheLastClose) {
    syscall::File *file = nullptr;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    EXPECT_EQ(tm350::ntos::RemoveDevice(pdo_, Removal::Surprise), STATUS_PENDING);
    syscall::File *refused = nullptr;
    EXPECT_EQ(Open(&refused), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Journal(), (std::vector<std::string>{"create", "surprise-removal"}));

    syscall::CleanupFile(file);
    tm350::ntos::FlushPnpWork();
    EXPECT_EQ(Journal(), (std::vector<std::string>{"create", "surprise-removal", "cleanup", "close", "remove"}));
}

TEST_F(RemovalStack, WithoutOpenFilesTheRemoveRequestFollowsAtOnce) {
    EXPECT_EQ(tm350::ntos::RemoveDevice(pdo_, Removal::Surprise), STATUS_SUCCESS);
    EXPECT_EQ(Journal(), (std::vector<std::string>{"surprise-removal", "remove"}));
}

TEST_F(RemovalStack, AnOpenFileVetoesAnOrderlyRemovalUntilItCloses) {
    syscall::File *file = nullptr;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    EXPECT_EQ(tm350::ntos::RemoveDevice(pdo_, Removal::Orderly), STATUS_DEVICE_BUSY);
    // The stack is back in use: opens work again.
    syscall::File *second = nullptr;
    ASSERT_EQ(Open(&second), STATUS_SUCCESS);
    syscall::CleanupFile(second);
    syscall::CleanupFile(file);
    EXPECT_EQ(tm350::ntos::RemoveDevice(pdo_, Removal::Orderly), STATUS_SUCCESS);
    EXPECT_EQ(Journal(), (std::vector<std::string>{"create", "query-remove", "cancel-remove", "create", "cleanup",
                                                   "close", "cleanup", "close", "query-remove", "remove"}));
}

}  // namespace
}  // namespace tm350::test
