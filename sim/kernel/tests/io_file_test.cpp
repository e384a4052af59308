// Files and handles over the I/O manager: opening by device name and through links,
// exclusive devices, create/cleanup/close, data movement for each buffering method,
// asynchronous requests with CancelIo, and the kernel-mode open with a record.
#include <thread>

#include "drivers/io_test_fixture.h"
#include "internal.h"

using namespace iotest;
using namespace sim::kernel;

namespace {

UNICODE_STRING Us(const wchar_t* s) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, s);
  return u;
}

std::string Narrow(const std::vector<WCHAR>& w) { return registry::ToUtf8(w.data(), w.size()); }

}  // namespace

using IoFileTest = IoFixture;

TEST_F(IoFileTest, OpenThroughLinksSendsCreateCleanupClose) {
  BuildStack();
  UNICODE_STRING link = Us(L"\\DosDevices\\IOTEST7"), target = Us(L"\\Device\\IoTestLower0");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(LinkTarget("\\??\\iotest7"), "\\Device\\IoTestLower0");

  for (const char* path : {"\\??\\IOTEST7", "\\DosDevices\\IoTest7", "\\GLOBAL??\\IOTEST7", "\\Device\\IoTestLower0"}) {
    SCOPED_TRACE(path);
    int creates = S().creates, cleanups = S().cleanups, closes = S().closes;
    HANDLE h;
    ASSERT_EQ(OpenFile(path, GENERIC_READ | GENERIC_WRITE, UserMode, nullptr, 0, &h), STATUS_SUCCESS);
    EXPECT_EQ(S().creates, creates + 1);
    EXPECT_EQ(S().seenMode, UserMode);
    // The create went to the top of the stack and reached the lower device through the filter.
    EXPECT_EQ(InfoOf(lower)->openHandles, 1);
    EXPECT_EQ(CloseHandle(h), STATUS_SUCCESS);
    EXPECT_EQ(S().cleanups, cleanups + 1);
    EXPECT_EQ(S().closes, closes + 1);
    EXPECT_EQ(InfoOf(lower)->openHandles, 0);
  }

  // What follows the device's name is the file name the driver sees.
  HANDLE h;
  ASSERT_EQ(OpenFile("\\??\\IOTEST7\\sub\\name", GENERIC_READ, UserMode, nullptr, 0, &h), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(S().seenFileName), "\\sub\\name");
  CloseHandle(h);

  ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(OpenFile("\\??\\IOTEST7", GENERIC_READ, UserMode, nullptr, 0, &h), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoFileTest, OpenIsRefusedWhereWindowsRefusesIt) {
  BuildStack(L"\\Device\\IoTestLower0", DO_BUFFERED_IO, /*exclusive=*/true);
  HANDLE first, second;
  ASSERT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ, UserMode, nullptr, 0, &first), STATUS_SUCCESS);
  // A second open of an exclusive device never reaches the driver.
  EXPECT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ, UserMode, nullptr, 0, &second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(S().creates, 1);
  CloseHandle(first);
  ASSERT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ, UserMode, nullptr, 0, &second), STATUS_SUCCESS);
  CloseHandle(second);

  // A driver's failure of the create is the caller's result, and no close follows.
  S().status = STATUS_DEVICE_NOT_READY;
  EXPECT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ, UserMode, nullptr, 0, &second), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(S().closes, 2);
  S().status = STATUS_SUCCESS;

  // Removal under way: the PnP manager's node state answers before the driver is asked.
  DeviceNode node;
  node.instancePath = "ROOT\\IOTEST\\0000";
  node.pdo = lower;
  InfoOf(lower)->node = &node;
  node.state = NodeState::SurpriseRemoved;
  EXPECT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ, UserMode, nullptr, 0, &second), STATUS_DELETE_PENDING);
  InfoOf(lower)->node = nullptr;

  // Still initializing: not yet open for business.
  lower->Flags |= DO_DEVICE_INITIALIZING;
  EXPECT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ, UserMode, nullptr, 0, &second), STATUS_NO_SUCH_DEVICE);
  lower->Flags &= ~DO_DEVICE_INITIALIZING;
  EXPECT_EQ(OpenFile("\\Device\\Nothing", GENERIC_READ, UserMode, nullptr, 0, &second), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(S().creates, 3);
}

TEST_F(IoFileTest, KernelOpenPassesTheRecordItselfUserOpenACopy) {
  BuildStack();
  UCHAR record[16] = {1, 2, 3};
  HANDLE h;
  ASSERT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ, KernelMode, record, sizeof record, &h), STATUS_SUCCESS);
  EXPECT_EQ(S().lastCreateEa.size(), sizeof record);
  EXPECT_EQ(S().lastCreateEa[1], 2);
  EXPECT_EQ(record[0], 0x5A);  // filled in by the driver below, seen by the opener
  CloseHandle(h);

  UCHAR user[4] = {7, 8, 9, 10};
  ASSERT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ, UserMode, user, sizeof user, &h), STATUS_SUCCESS);
  EXPECT_EQ(S().lastCreateEa, std::vector<UCHAR>({7, 8, 9, 10}));
  EXPECT_EQ(user[0], 7);
  CloseHandle(h);
}

// Reads and writes move data as the device's buffering flag says.
struct RwCase {
  const char* name;
  ULONG deviceFlags;
};

class ReadWriteBuffering : public IoFixture, public ::testing::WithParamInterface<RwCase> {};

TEST_P(ReadWriteBuffering, DataReachesTheDriverAndComesBack) {
  BuildStack(L"\\Device\\IoTestLower0", GetParam().deviceFlags);
  HANDLE h;
  ASSERT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ | GENERIC_WRITE, UserMode, nullptr, 0, &h),
            STATUS_SUCCESS);
  char out[8] = "hello!!";
  ULONG_PTR n = 0;
  ASSERT_EQ(Write(h, out, 7, nullptr, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(std::string(S().written.begin(), S().written.end()), "hello!!");
  char in[8] = {};
  ASSERT_EQ(Read(h, in, 6, nullptr, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 6u);
  EXPECT_STREQ(in, "abcdef");
  switch (GetParam().deviceFlags) {
    case DO_BUFFERED_IO:
      EXPECT_NE(S().seenSystemBuffer, nullptr);
      EXPECT_NE(S().seenSystemBuffer, (PVOID)in);  // a copy, not the caller's memory
      EXPECT_EQ(S().seenMdl, nullptr);
      break;
    case DO_DIRECT_IO:
      ASSERT_NE(S().seenMdl, nullptr);
      EXPECT_EQ(S().seenSystemBuffer, nullptr);
      break;
    default:
      EXPECT_EQ(S().seenUserBuffer, (PVOID)in);
      EXPECT_EQ(S().seenMdl, nullptr);
  }
  PFILE_OBJECT fo = FileObjectOf(h);
  EXPECT_EQ(S().seenFileObject, fo);
  ObDereferenceObject(fo);
  CloseHandle(h);
  EXPECT_EQ(S().closes, 1);
}

INSTANTIATE_TEST_SUITE_P(Table, ReadWriteBuffering,
                         ::testing::Values(RwCase{"Buffered", DO_BUFFERED_IO}, RwCase{"Direct", DO_DIRECT_IO},
                                           RwCase{"Neither", 0}),
                         [](const ::testing::TestParamInfo<RwCase>& i) { return std::string(i.param.name); });

// Control requests move data by the method in their code.
struct IoctlCase {
  const char* name;
  ULONG code;
  bool systemBuffer, mdl, type3;
};

class IoctlMethods : public IoFixture, public ::testing::WithParamInterface<IoctlCase> {};

TEST_P(IoctlMethods, InputArrivesAndOutputReturns) {
  const IoctlCase& c = GetParam();
  BuildStack();
  HANDLE h;
  ASSERT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ | GENERIC_WRITE, UserMode, nullptr, 0, &h),
            STATUS_SUCCESS);
  UCHAR in[3] = {1, 2, 3}, out[7] = {};
  ULONG_PTR n = 0;
  ASSERT_EQ(DeviceIoControl(h, c.code, in, sizeof in, out, sizeof out, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, sizeof out);
  const UCHAR want[7] = {2, 3, 4, 2, 3, 4, 2};
  EXPECT_EQ(0, memcmp(out, want, sizeof out));
  EXPECT_EQ(S().written, std::vector<UCHAR>({1, 2, 3}));
  EXPECT_EQ(S().seenSystemBuffer != nullptr, c.systemBuffer);
  EXPECT_EQ(S().seenMdl != nullptr, c.mdl);
  EXPECT_EQ(S().seenType3 == (PVOID)in, c.type3);
  CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Table, IoctlMethods,
                         ::testing::Values(IoctlCase{"Buffered", kIoctlBuffered, true, false, false},
                                           IoctlCase{"InDirect", kIoctlInDirect, true, true, false},
                                           IoctlCase{"OutDirect", kIoctlOutDirect, true, true, false},
                                           IoctlCase{"Neither", kIoctlNeither, false, false, true}),
                         [](const ::testing::TestParamInfo<IoctlCase>& i) { return std::string(i.param.name); });

TEST_F(IoFileTest, BufferedOutputIsCopiedOnlyAsFarAsInformationSays) {
  BuildStack();
  HANDLE h;
  ASSERT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ, UserMode, nullptr, 0, &h), STATUS_SUCCESS);
  S().status = STATUS_DEVICE_DATA_ERROR;  // failed: Information 0, nothing copied back
  UCHAR in[2] = {5, 6}, out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  ULONG_PTR n = 99;
  EXPECT_EQ(DeviceIoControl(h, kIoctlBuffered, in, 2, out, 4, &n), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(out[0], 0xEE);
  CloseHandle(h);
}

TEST_F(IoFileTest, AsynchronousReadPendsAndCancelIoEndsIt) {
  BuildStack();
  HANDLE h, readOnly;
  ASSERT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ | GENERIC_WRITE, UserMode, nullptr, 0, &h),
            STATUS_SUCCESS);
  ASSERT_EQ(OpenFile("\\Device\\IoTestLower0", GENERIC_READ, UserMode, nullptr, 0, &readOnly), STATUS_SUCCESS);
  EXPECT_EQ(CancelIo(h), STATUS_NOT_FOUND);
  S().lower = Lower::Pend;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  char buf[4];
  ULONG_PTR n = 0;
  ASSERT_EQ(Read(h, buf, sizeof buf, nullptr, &n, AsyncIo{&done, &iosb}), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&done), 0);

  // Another thread's CancelIo leaves this thread's request alone.
  NTSTATUS other = STATUS_SUCCESS;
  std::thread t = StartSimThread("other", [&] { other = CancelIo(h); });
  HostBlocking([&] { t.join(); });
  EXPECT_EQ(other, STATUS_NOT_FOUND);
  EXPECT_EQ(KeReadStateEvent(&done), 0);

  EXPECT_EQ(CancelIo(h), STATUS_SUCCESS);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(S().cancels, 1);
  EXPECT_EQ(CancelIo(h), STATUS_NOT_FOUND);

  // A pended write completed later by the driver reports through the same block.
  KeClearEvent(&done);
  ASSERT_EQ(Write(h, "xy", 2, nullptr, &n, AsyncIo{&done, &iosb}), STATUS_PENDING);
  EXPECT_EQ(Write(readOnly, "xy", 2, nullptr, &n), STATUS_ACCESS_DENIED);
  PIRP irp = FirstPended();
  irp->IoStatus.Information = 2;
  ASSERT_TRUE(CompletePended(irp, STATUS_SUCCESS));
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 2u);
  CloseHandle(h);
  CloseHandle(readOnly);
}

TEST_F(IoFileTest, DeviceObjectPointerHoldsTheFileUntilDereferenced) {
  BuildStack();
  UNICODE_STRING name = Us(L"\\Device\\IoTestLower0");
  PFILE_OBJECT fo;
  PDEVICE_OBJECT top;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &fo, &top), STATUS_SUCCESS);
  EXPECT_EQ(top, upper);
  EXPECT_EQ(fo->DeviceObject, lower);
  EXPECT_EQ(S().cleanups, 1);  // the handle is gone already
  EXPECT_EQ(S().closes, 0);
  ObDereferenceObject(fo);
  EXPECT_EQ(S().closes, 1);
  EXPECT_EQ(InfoOf(lower)->openHandles, 0);
}
