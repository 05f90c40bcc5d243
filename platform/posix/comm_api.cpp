// The Win32 file and communications functions over CommDevice.
#include "platform/posix/comm_device.h"
#include "platform/posix/port_names.h"

using namespace dud::posix;

namespace {

std::shared_ptr<CommDevice> Device(HANDLE h) { return LookupHandleAs<CommDevice>(h); }

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
  const int number = ParseComName(lpFileName);
  if (number == 0) {
    // Only serial devices are opened through this layer.
    SetLastError(lpFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  // Devices exist or do not: anything but OPEN_EXISTING is refused, as Windows does.
  if (dwCreationDisposition != OPEN_EXISTING || (dwDesiredAccess & (GENERIC_READ | GENERIC_WRITE)) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path;
  DWORD err = ResolveComPort(number, &path);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  auto dev = CommDevice::Open(path, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, &err);
  if (!dev) {
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  return RegisterHandle(std::move(dev));
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  auto dev = Device(hFile);
  return dev ? dev->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped) : FALSE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  auto dev = Device(hFile);
  return dev ? dev->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped) : FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  auto dev = Device(hFile);
  return dev ? dev->OverlappedResult(lpOverlapped, lpNumberOfBytesTransferred, bWait != FALSE) : FALSE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  auto dev = Device(hFile);
  return dev ? dev->Cancel() : FALSE;
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  auto dev = Device(hFile);
  return dev ? dev->Setup(dwInQueue, dwOutQueue) : FALSE;
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  auto dev = Device(hFile);
  return dev ? dev->GetState(lpDCB) : FALSE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  auto dev = Device(hFile);
  return dev ? dev->SetState(lpDCB) : FALSE;
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  auto dev = Device(hFile);
  return dev ? dev->GetTimeouts(lpCommTimeouts) : FALSE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  auto dev = Device(hFile);
  return dev ? dev->SetTimeouts(lpCommTimeouts) : FALSE;
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  auto dev = Device(hFile);
  return dev ? dev->GetMask(lpEvtMask) : FALSE;
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  auto dev = Device(hFile);
  return dev ? dev->SetMask(dwEvtMask) : FALSE;
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  auto dev = Device(hFile);
  return dev ? dev->WaitEvent(lpEvtMask, lpOverlapped) : FALSE;
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  auto dev = Device(hFile);
  return dev ? dev->ClearError(lpErrors, lpStat) : FALSE;
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  auto dev = Device(hFile);
  return dev ? dev->Escape(dwFunc) : FALSE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  auto dev = Device(hFile);
  return dev ? dev->Purge(dwFlags) : FALSE;
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  auto dev = Device(hFile);
  return dev ? dev->ModemStatus(lpModemStat) : FALSE;
}
