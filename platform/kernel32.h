// The Win32 types and the kernel32 routines the shared code calls: <windows.h> itself on Windows,
// and on POSIX a shim of the same names over file descriptors (kernel32_posix.cc).
#pragma once

#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
// The kernel32 routines as the shared code calls them. On POSIX a HANDLE holds a file
// descriptor; the standard handles are descriptors 0 and 1.
typedef void* HANDLE;
typedef std::uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef std::int32_t LONG;
typedef LONG* PLONG;
typedef int BOOL;
typedef void* LPVOID;
typedef const void* LPCVOID;
struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

// Also stops a closed pipe from ending the process: a write on it fails, as on Windows.
HANDLE GetStdHandle(DWORD nStdHandle);
// One read(2), retried when a signal interrupts it.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
// Writes the whole buffer, retrying short writes, as WriteFile does on a synchronous handle.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped);
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod);
// Truncates the file at its current offset.
BOOL SetEndOfFile(HANDLE hFile);
// Sleeps the whole time, even when a signal interrupts it.
void Sleep(DWORD dwMilliseconds);
// Closes the descriptor. Never retried: Linux releases it even when a signal interrupts the
// close, and the number may already be another file's.
BOOL CloseHandle(HANDLE hObject);

// Holds each standard descriptor that is closed open on /dev/null, once a process: GetStdHandle
// does so first, and so does the confinement, after which /dev/null could no longer be opened.
void HoldStandardDescriptors();

// The handle of an open file descriptor, and back.
inline HANDLE HandleFromDescriptor(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)); }
inline int DescriptorFromHandle(HANDLE h) { return static_cast<int>(reinterpret_cast<std::intptr_t>(h)); }
#endif
