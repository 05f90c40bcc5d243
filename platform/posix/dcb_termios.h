// The one translation between a Windows DCB and the Linux terminal settings.
//
// Pure functions without a device, so that every line setting can be checked as
// a table of cases. The terminal settings are the kernel's termios2 (it carries
// arbitrary rates through BOTHER); this header includes <asm/termbits.h>, which
// must not meet glibc's <termios.h> in the same file.
//
// Threads: any; the functions keep no state.
#pragma once

#include <asm/termbits.h>

#include "platform/win32.h"

namespace dud::posix {

// The Bxxx code of a standard rate, or 0 when the rate has none (then BOTHER).
unsigned int StandardBaudCode(DWORD baud);
// The rate of a Bxxx code, or 0 for an unknown code.
DWORD BaudOfCode(unsigned int code);

// The raw mode every opened port starts in: no echo, no line editing, no
// character translation, receiver on, modem control lines ignored for reading,
// and reads that wait for one byte (so that a non-blocking read returns EAGAIN
// when nothing is there and 0 only when the other side is gone).
void MakeRawTermios(termios2* t);

// Builds in *out the settings of `dcb` on top of `current` (the settings in
// force: everything the DCB does not describe is kept). Returns ERROR_SUCCESS,
// or ERROR_INVALID_PARAMETER when the DCB asks for something that Linux
// terminals cannot do or that is malformed; *out is then unchanged.
//
// Refused: BaudRate 0; ByteSize outside 5..8; Parity above SPACEPARITY;
// StopBits above TWOSTOPBITS; one and a half stop bits with more than 5 data
// bits, two stop bits with 5 (as Windows); CTS output flow without RTS
// handshake or the reverse (Linux has one switch for both directions);
// DTR_CONTROL_HANDSHAKE, fOutxDsrFlow and fDsrSensitivity (no DSR/DTR flow in
// termios); fNull and fErrorChar (no such input filtering); XonChar equal to
// XoffChar while XON/XOFF is on. RTS_CONTROL_TOGGLE passes here: the device
// decides whether its driver can direct RS485.
DWORD DcbToTermios(const DCB& dcb, const termios2& current, termios2* out);

// Overwrites the fields of *dcb that the terminal settings carry (BaudRate,
// ByteSize, Parity, StopBits, fParity, fOutxCtsFlow, RTS handshake, fOutX, fInX,
// XonChar, XoffChar, fBinary) with what `t` says, keeping the others as they
// are in *dcb (the device records those).
void TermiosToDcb(const termios2& t, DCB* dcb);

// True when the settings that DcbToTermios writes agree between the two
// (used to check what a driver actually took). Rates set through BOTHER may
// differ by up to 2 percent, the tolerance of a UART's divisor.
bool SameLineSettings(const termios2& wanted, const termios2& actual);

}  // namespace dud::posix
